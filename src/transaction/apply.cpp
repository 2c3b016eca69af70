#include "transaction/apply.h"

TransactionResult apply_update_transaction(const std::filesystem::path&,
                                           const std::filesystem::path&,
                                           const std::filesystem::path&, const CopyOperation&,
                                           const PathCheck&) {
    TransactionResult result;
    result.error = "update transaction not available in this build";
    return result;
}
