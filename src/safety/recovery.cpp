#include "safety/recovery.h"

TransactionResult recover_interrupted_update(const std::filesystem::path&,
                                             const std::filesystem::path&, const CopyOperation&,
                                             const PathCheck&) {
    TransactionResult result;
    result.rolled_back = false;
    result.error = "recovery not available in this build";
    return result;
}
