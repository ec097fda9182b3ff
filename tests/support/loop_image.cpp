#include "support/loop_image.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

// Runs a command with its output thrown away; true when it succeeded.
bool run(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) line += "'" + word + "' ";
    return std::system((line + ">/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

LoopImage::LoopImage(int mebibytes, std::vector<std::string> mkfs, const std::string& type,
                     const std::string& options)
    : unavailable_("needs root to mount a file system") {
    if (geteuid() != 0) return;
    std::random_device random;
    do {
        folder_ = fs::temp_directory_path() / ("tesrak-image-" + std::to_string(random()));
    } while (!fs::create_directory(folder_));
    mount_point_ = folder_ / "mounted";
    fs::create_directory(mount_point_);
    const fs::path image = folder_ / "image";
    std::ofstream(image).close();
    fs::resize_file(image, static_cast<std::uintmax_t>(mebibytes) << 20);
    if (FILE* out = popen(("losetup --find --show '" + image.string() + "' 2>/dev/null").c_str(), "r")) {
        char line[256] = {};
        if (std::fgets(line, sizeof line, out) != nullptr) device_ = line;
        pclose(out);
    }
    if (!device_.starts_with("/dev/")) {
        device_.clear();
        unavailable_ = "no loop device can be set up here";
        return;
    }
    device_.erase(device_.find_last_not_of('\n') + 1);
    mkfs.push_back(device_);
    std::vector<std::string> mount{"mount", "-t", type, device_, mount_point_.string()};
    if (!options.empty()) mount.insert(mount.begin() + 3, {"-o", options});
    if (!run(mkfs)) unavailable_ = mkfs.front() + " is missing or failed";
    else if (!run(mount)) unavailable_ = "cannot mount " + type + " here";
    else unavailable_.clear();
}

LoopImage::~LoopImage() {
    if (unavailable_.empty() && !run({"umount", mount_point_.string()})) run({"umount", "-l", mount_point_.string()});
    // A FUSE driver may hold the device a moment longer: it is detached once let go.
    if (!device_.empty()) run({"losetup", "-d", device_});
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
}
