#include "snapshot/links.h"

bool link_followed(std::uint32_t link_owner, std::uint32_t runner, std::uint32_t folder_owner) {
    return link_owner == runner || link_owner == folder_owner;
}
