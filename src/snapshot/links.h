// Whose symbolic links a restore follows at a file's name.
#pragma once

#include <cstdint>

// A restore follows a symbolic link at a file's name only where it belongs
// to the runner or to the owner of the folder that holds it, the rule the
// kernel applies in sticky folders: nobody else's link sends it elsewhere.
bool link_followed(std::uint32_t link_owner, std::uint32_t runner, std::uint32_t folder_owner);
