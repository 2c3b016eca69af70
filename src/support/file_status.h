#pragma once

#include <filesystem>

// The status of path, links followed. A path that does not exist is a result
// (file_type::not_found), not an error; any other failed query throws
// filesystem_error naming `operation` and the path.
std::filesystem::file_status query_status(const std::filesystem::path& path,
                                          const char* operation = "status");
