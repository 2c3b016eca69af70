#include "driver/host.h"

#include "platform/platform.h"

bool wait_for_host_exit(std::uint32_t pid) { return platform::wait_for_process(pid, 120000); }

std::intptr_t launch_application(const std::filesystem::path& target,
                                 const std::filesystem::path& launch) {
    return platform::open_program(target / launch, L"", target);
}
