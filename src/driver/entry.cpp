#include "driver/entry.h"

#include <exception>

#include "driver/driver.h"
#include "platform/platform.h"

namespace {

int report_failure() {
    platform::show_message(L"升级准备失败。请检查路径、权限及磁盘空间。未确认更新完成。",
                           L"Lumetra 升级", platform::kMessageError);
    return kExitException;
}

}  // namespace

int run_entry_point() {
    try {
        return run_update();
    } catch (const std::exception&) {
        return report_failure();
    } catch (...) {
        // Not a standard exception, but an operator must still be told that the
        // update did not complete rather than see the program vanish.
        return report_failure();
    }
}
