// A file system of a test's own: an image file on a loop device, made by a
// mkfs command and mounted by mount(8) (which starts the FUSE driver of a type
// such as lowntfs-3g); unmounted and detached again at the end.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class LoopImage {
public:
    // The device is added to the mkfs command; type and options are mount's -t and -o.
    LoopImage(int mebibytes, std::vector<std::string> mkfs, const std::string& type,
              const std::string& options = "");
    ~LoopImage();
    LoopImage(const LoopImage&) = delete;
    LoopImage& operator=(const LoopImage&) = delete;

    // Empty once the file system is mounted, else why it cannot be here.
    const std::string& unavailable() const { return unavailable_; }
    const std::filesystem::path& mount_point() const { return mount_point_; }

private:
    std::filesystem::path folder_;  // the image and the mount point
    std::filesystem::path mount_point_;
    std::string device_;
    std::string unavailable_;
};
