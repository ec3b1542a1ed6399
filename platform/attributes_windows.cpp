// What the earlier result carries over to the new one on Windows (owner, attributes, access
// control list), and whose the earlier file is.
// The plumbing first: it sets the Windows version the system headers declare.
#include "platform/windows_internal.h"
#include "platform/attributes.h"
#include "platform/results.h"

#include <aclapi.h>

#include <vector>

using namespace windows_internal;

SysResult copyOwner(const FileStatus &, const Handle &)
{
    // A new file's owner is whoever replaces the earlier one, as Windows' own replacement does.
    return {};
}

SysResult copyPermissions(const FileStatus &from, const Handle &file)
{
    const DWORD kept = from.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                          FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    // Read-only last, in a step of its own: a file system that keeps the other attributes beside
    // the file's permissions (Wine's, in an extended attribute) may refuse to store them once the
    // file is read-only to its owner.
    const DWORD others = kept & ~DWORD(FILE_ATTRIBUTE_READONLY);
    if (others != kept && !setAttributesOf(handleOf(file), others))
        return lastError();
    return okIf(setAttributesOf(handleOf(file), kept));
}

SysResult copyExtendedAttributes(const Handle &from, const Handle &file)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD code = SYS(GetSecurityInfo, DWORD(ERROR_ACCESS_DENIED))(handleOf(from), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                 nullptr, &descriptor);
    if (code != ERROR_SUCCESS)
        return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION ? SysResult{} : resultOf(long(code));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION |
                                      ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                      : UNPROTECTED_DACL_SECURITY_INFORMATION);
    code = SYS(SetSecurityInfo, DWORD(ERROR_ACCESS_DENIED))(handleOf(file), SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return resultOf(long(code));
}

SysResult isOwnedByUser(const ResultPlace &place, bool &own)
{
    own = false;
    Handle file;
    const SysResult opened = openRelative(place.folder, place.name, READ_CONTROL, ShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, file);
    if (!opened.ok())
        return opened;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code = SYS(GetSecurityInfo, DWORD(ERROR_ACCESS_DENIED))(handleOf(file), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                                                       &owner, nullptr, nullptr, nullptr, &descriptor);
    if (code != ERROR_SUCCESS)
        return resultOf(long(code));
    const std::vector<char> user = processTokenInformation(TokenUser);
    own = !user.empty() && owner && EqualSid(owner, reinterpret_cast<const TOKEN_USER *>(user.data())->User.Sid);
    LocalFree(descriptor);
    return {};
}

bool hardLinksProtected()
{
    // Whoever may write a file's attributes may give it another name: nothing to rely on.
    return false;
}
