#include "driver/run.h"

#include "driver/entry_record.h"
#include "driver/messages.h"
#include "fat/volume.h"
#include "platform/platform.h"
#include "recovery/collect.h"
#include "recovery/naming.h"
#include "recovery/output_writer.h"
#include "recovery/rediscover.h"

namespace chkmend {

int runChkmend(int argc, const char* const* argv) {
    platform::useOemFileApis();
    platform::printText(messages::Banner);
    if (argc < 2 || argv[1] == nullptr) {
        platform::printText(messages::Usage);
        return 0;
    }
    const char driveLetter = argv[1][0];
    platform::printText(messages::recoveringDrive(driveLetter));

    VolumeState volume;
    if (openVolume(volume, driveLetter) == 0) {
        platform::printText(messages::CantOpen);
        return 0;
    }

    EntryList masterList;
    for (const FoundFolderReport& folder : collectOrphans(volume, masterList)) {
        platform::printText(messages::foundFolder(folder.name, folder.orphanCount));
    }
    platform::printText(messages::Scanning);
    rediscoverDirectories(volume, masterList);
    nameOrphans(volume, masterList);
    const int recovered = writeOutputTree(volume, masterList, [](const std::string& path) {
        platform::printText(messages::saved(path));
    });
    platform::printText(messages::recovered(recovered));

    closeVolume(volume);
    return 0;
}

}  // namespace chkmend
