#include "links.h"

#include "host_core/paths.h"

#include <winioctl.h>

#include <cstring>
#include <vector>

namespace {

const wchar_t* const VolumePrefix = L"\\\\?\\Volume{";

WORD WordAt(const std::vector<BYTE>& data, std::size_t offset)
{
    WORD value = 0;
    std::memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

// A name of the reparse data's path buffer, which begins at `buffer`: its
// offset and length in bytes stand at `field`.
std::wstring NameAt(const std::vector<BYTE>& data, std::size_t field, std::size_t buffer, DWORD size)
{
    const std::size_t offset = buffer + WordAt(data, field);
    const std::size_t length = WordAt(data, field + 2);
    // UTF-16 units, whatever the width of wchar_t where this is built.
    if (offset + length > size || length % 2 != 0) {
        return std::wstring();
    }
    std::wstring name(length / 2, L'\0');
    for (std::size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<wchar_t>(WordAt(data, offset + 2 * i));
    }
    return name;
}

}  // namespace

LinkTarget ReadLink(HANDLE object, const std::wstring& path)
{
    std::vector<BYTE> data(static_cast<std::size_t>(MAXIMUM_REPARSE_DATA_BUFFER_SIZE));
    DWORD size = 0;
    if (DeviceIoControl(object, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(), static_cast<DWORD>(data.size()),
                        &size, nullptr) == FALSE ||
        size < 8) {
        return {true, std::wstring()};
    }
    DWORD tag = 0;
    std::memcpy(&tag, data.data(), sizeof tag);
    if (!IsReparseTagNameSurrogate(tag)) {
        return {false, std::wstring()};
    }
    // Both kinds give the substitute name's offset and length first; a
    // symbolic link has 4 bytes of flags before its path buffer.
    const bool symbolicLink = tag == IO_REPARSE_TAG_SYMLINK;
    if ((!symbolicLink && tag != IO_REPARSE_TAG_MOUNT_POINT) || size < (symbolicLink ? 20u : 16u)) {
        return {true, std::wstring()};
    }
    const std::wstring name = NameAt(data, 8, symbolicLink ? 20 : 16, size);
    DWORD flags = 0;
    std::memcpy(&flags, data.data() + 16, sizeof flags);
    if (symbolicLink && (flags & SYMLINK_FLAG_RELATIVE) != 0 && !name.empty()) {
        // Relative to the folder the link is in; one that begins with a
        // backslash, to the root of the link's own volume.
        const std::wstring base = name[0] == L'\\' ? path.substr(0, RootLength(path)) : FolderOf(path);
        return {true, PlainPath(base + name)};
    }
    // "\??\C:\...", "\??\UNC\server\share\..." or "\??\Volume{...}\"; any
    // other name (a device) cannot be followed here.
    const std::wstring target = HasDevicePrefix(name) ? PlainPath(name) : std::wstring();
    const bool known = RootLength(target) != 0 && (target.compare(0, 4, L"\\\\?\\") != 0 ||
                                                   target.compare(0, std::wcslen(VolumePrefix), VolumePrefix) == 0);
    return {true, known ? target : std::wstring()};
}
