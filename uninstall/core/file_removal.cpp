#include "file_removal.h"

#include "adapter_identity.h"
#include "bounded_text.h"
#include "mbcs_text.h"
#include "win_constants.h"

namespace brevel {
namespace {

// A directory query succeeded only if it returned a length that fits its buffer.
bool DirectoryRead(Dword length, std::size_t buffer_size) {
    return length != 0 && length < buffer_size;
}

void RemoveDriverFile(Platform& platform) {
    char directory[kMaxPath];
    const Dword length = platform.SystemDirectory(directory, sizeof directory);
    if (!DirectoryRead(length, sizeof directory)) return;

    char path[kMaxPath];
    BoundedText text(platform, path, sizeof path);
    if (!text.Append(directory, length) || !text.Append(kDriverFileSuffix)) return;
    platform.SetAttributes(path, kFileAttributeNormal);
    platform.RemoveFile(path);
}

void RemoveInfCopies(Platform& platform, const char* inf_name) {
    char directory[kMaxPath];
    const Dword length = platform.WindowsDirectory(directory, sizeof directory);
    if (!DirectoryRead(length, sizeof directory)) return;

    const std::size_t base_length = LengthBeforeFirstDot(platform, inf_name);
    if (base_length == 0) return;

    char inf_path[kMaxPath];
    char pnf_path[kMaxPath];
    BoundedText inf_text(platform, inf_path, sizeof inf_path);
    BoundedText pnf_text(platform, pnf_path, sizeof pnf_path);
    if (!inf_text.Append(directory, length) || !inf_text.Append(kInfDirectorySuffix) ||
        !inf_text.Append(inf_name, base_length))
        return;
    pnf_text.Append(inf_path);
    if (!inf_text.Append(kInfExtension) || !pnf_text.Append(kPrecompiledInfExtension)) return;

    platform.SetAttributes(inf_path, kFileAttributeNormal);
    platform.SetAttributes(pnf_path, kFileAttributeNormal);
    platform.RemoveFile(inf_path);
    platform.RemoveFile(pnf_path);
}

}  // namespace

void RemoveInstalledFiles(Platform& platform, const char* inf_name) {
    RemoveDriverFile(platform);
    RemoveInfCopies(platform, inf_name);
}

}  // namespace brevel
