#include "transaction/durability.h"

#include "platform/platform.h"

const Durability& system_durability() {
    static const Durability durability{platform::flush_file, platform::flush_directory,
                                       platform::replace_file};
    return durability;
}
