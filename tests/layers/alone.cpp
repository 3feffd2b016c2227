// Links every object of one layer with only the layers below it; building this is the check.
int main() {
    return 0;
}
