#include "driver/driver.h"

#include <chrono>
#include <system_error>

#include "driver/bootstrap.h"
#include "driver/host.h"
#include "driver/layout.h"
#include "driver/options.h"
#include "extract/runner.h"
#include "platform/platform.h"
#include "safety/path_checks.h"
#include "support/update_log.h"
#include "transaction/apply.h"
#include "transaction/file_operations.h"
#include "transaction/recovery.h"
#include "transaction/transaction_status.h"

namespace fs = std::filesystem;

namespace {

const wchar_t kTitle[] = L"Lumetra 升级";
const wchar_t kRecoveryQuestionTitle[] = L"升级恢复确认";
const wchar_t kRecoveryTitle[] = L"升级恢复";

void show(const std::wstring& text, const wchar_t* title, unsigned flags) {
    platform::show_message(text, title, flags);
}

// A stage root that stays is left silently.
void remove_stage_root(const fs::path& stage_root) { remove_tree(stage_root); }

// The transaction's error text is UTF-8 (failure_text); anything else came
// from the runtime in its own code page.
std::wstring widen_error(const std::string& error) {
    if (auto wide = platform::utf8_to_wide_strict(error)) return *wide;
    return platform::runtime_text_to_wide(error);
}

// Names for the maintenance staff each file whose undo failed.
void log_failed_restores(const fs::path& target, const TransactionResult& result) {
    for (const fs::path& failed : result.failed_restores) {
        write_update_log(target, L"恢复失败文件：" + platform::path_to_wide(failed));
    }
}

CopyOperation default_copy() { return CopyOperation(&copy_file_with_retry); }
PathCheck default_path_check() { return PathCheck(&ensure_no_reparse_point); }

std::int32_t recover_with_consent(const fs::path& target, const fs::path& backup) {
    const std::wstring question =
        L"发现未完成升级。继续升级前必须先恢复旧文件。\n请先关闭视觉和HMI程序。恢复将撤销该次升级的"
        L"程序文件，不改工程参数。\n是否现在恢复？\n备份：" +
        platform::path_to_wide(backup);
    if (platform::show_message(question, kRecoveryQuestionTitle, platform::kMessageQuestion) !=
        platform::kAnswerYes) {
        return kExitRecoveryDone;
    }
    platform::show_progress(L"正在恢复旧文件…");
    const CopyOperation copy = default_copy();
    const PathCheck check = default_path_check();
    const TransactionResult result = recover_interrupted_update(target, backup, copy, check);
    if (result.rolled_back) {
        write_update_log(target, L"中断升级恢复完成");
        show(L"旧文件恢复完成。请重新启动软件检查后，再执行升级。", kRecoveryTitle,
             platform::kMessageInformation);
        return kExitRecoveryDone;
    }
    write_update_log(target, L"中断升级恢复失败，请保留备份并联系维护人员");
    // What stopped it before or after the undo steps (a refused journal, a status
    // that cannot be written); a failed undo step leaves no error of its own.
    if (!result.error.empty())
        write_update_log(target, L"恢复失败原因：" + widen_error(result.error));
    log_failed_restores(target, result);
    show(L"恢复未完成，禁止启动程序。请保留备份并联系维护人员。", kRecoveryTitle,
         platform::kMessageError);
    return kExitRecoveryFailed;
}

}  // namespace

std::wstring make_tick_string() {
    using namespace std::chrono;
    using ticks = duration<std::int64_t, std::ratio<1, 10000000>>;
    const auto since_epoch = duration_cast<ticks>(system_clock::now().time_since_epoch());
    return std::to_wstring(since_epoch.count());
}

std::optional<fs::path> find_unfinished_transaction(const fs::path& target) {
    const fs::path updates = target / "updates";
    if (!fs::is_directory(updates)) return std::nullopt;
    ensure_no_reparse_point(updates);
    for (const fs::directory_entry& entry : fs::directory_iterator(updates)) {
        if (!entry.is_directory()) continue;
        if (platform::path_to_wide(entry.path().filename()).rfind(L"backup_", 0) != 0) continue;
        ensure_no_reparse_point(entry.path());
        if (!fs::exists(entry.path() / "transaction.status")) continue;
        const std::string status = read_transaction_status(entry.path());
        if (status == "COMMITTED" || status == "ROLLED_BACK") continue;
        return entry.path();
    }
    return std::nullopt;
}

std::int32_t run_update() {
    UpdaterOptions options = parse_command_line();
    if (!validate_options(options)) {
        show(L"升级参数不完整或升级包不存在。", kTitle, platform::kMessageError);
        return kExitIncompleteArguments;
    }
    if (options.verify_extract) return run_verify_extract(options);

    const fs::path self_path = platform::own_executable_path();
    const std::wstring t1 = make_tick_string();

    if (!options.detached && runs_from_installation(self_path, options.target)) {
        return bootstrap_relaunch(options, self_path, t1);
    }

    if (options.pid != 0) {
        platform::show_progress(L"正在等待 Lumetra 退出…");
        if (!wait_for_host_exit(options.pid)) {
            show(L"主程序未能在两分钟内退出，升级已取消。", kTitle, platform::kMessageError);
            return kExitHostStillRunning;
        }
    }

    if (const auto unfinished = find_unfinished_transaction(options.target)) {
        return recover_with_consent(options.target, *unfinished);
    }

    const std::wstring t2 = make_tick_string();
    const fs::path stage_root = fs::temp_directory_path() / (L"LumetraUpdate_" + t2);
    const fs::path package_directory = stage_root / "package";
    const fs::path backup_directory = options.target / "updates" / (L"backup_" + t2);
    platform::create_directories(package_directory);

    platform::show_progress(L"正在校验并解压升级包…");
    std::wstring extraction_error;
    if (!run_secure_extraction(options.package, package_directory, extraction_error)) {
        write_update_log(options.target, L"升级包解压失败：" + extraction_error);
        remove_stage_root(stage_root);
        show(L"升级包安全校验/解压失败，原程序未改动。\n" + extraction_error +
                 L"\n请重新下载官方包；详情见升级日志。不要手动绕过校验覆盖文件。",
             kTitle, platform::kMessageError);
        return kExitExtractionFailed;
    }

    const fs::path payload_root = find_payload_root(package_directory);
    if (!check_staged_layout(payload_root)) {
        remove_stage_root(stage_root);
        show(L"升级包结构无效，原程序未改动。", kTitle, platform::kMessageError);
        return kExitInvalidLayout;
    }

    platform::show_progress(L"正在备份并替换程序文件…");
    const CopyOperation copy = default_copy();
    const PathCheck check = default_path_check();
    const TransactionResult result =
        apply_update_transaction(payload_root, options.target, backup_directory, copy, check);

    if (result.committed) {
        write_update_log(options.target,
                         L"升级成功，备份目录：" + platform::path_to_wide(backup_directory));
        remove_stage_root(stage_root);
        platform::show_progress(L"正在启动 Lumetra…");
        const std::intptr_t launched = launch_application(options.target, options.launch);
        if (launched > 32) {
            show(L"升级完成，Lumetra 已重新启动。", kTitle, platform::kMessageInformation);
            return kExitSuccess;
        }
        write_update_log(options.target,
                         L"文件更新完成，启动失败，错误=" + std::to_wstring(launched));
        show(L"文件更新完成，但软件启动失败。请查看升级日志，不要重复升级。", kTitle,
             platform::kMessageWarning);
        return kExitLaunchFailed;
    }

    write_update_log(options.target, L"替换文件失败：" + widen_error(result.error));
    log_failed_restores(options.target, result);
    remove_stage_root(stage_root);
    const std::wstring text =
        result.rolled_back
            ? std::wstring(L"替换文件失败，已撤销本次文件变更。请关闭视觉/HMI程序后重试。")
            : L"升级失败，部分文件未能恢复！请勿启动程序。保留备份目录并联系维护人员：\n" +
                  platform::path_to_wide(backup_directory);
    write_update_log(options.target, text);
    show(text, kTitle, platform::kMessageError);
    return kExitNotCommitted;
}
