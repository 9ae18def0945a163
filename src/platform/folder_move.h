// Moving a whole folder to a new name in one step, never over anything there,
// and making its contents durable first.
#pragma once

#include <filesystem>
#include <system_error>

namespace zarvo::platform {

// Renames source to target unless something exists at target, then flushes
// both parent folders so the move survives a power loss. Returns the error
// (file_exists, cross_device_link, ...) instead of raising; on error nothing moved.
std::error_code moveFolderNoReplace(const std::filesystem::path& source, const std::filesystem::path& target);
// Makes every file and folder below folder durable, so that a rename that
// publishes it can never outlive its contents in a power cut. Linux: one
// syncfs of the folder's file system. Raises std::system_error.
void flushFolderTree(const std::filesystem::path& folder);

}  // namespace zarvo::platform
