#pragma once
// The window's rules that need no widget: how a local path becomes a remote
// name, how the default upload folder and a name are joined, what the
// current-folder label shows, which extension picks a list icon, which remote
// names may become local file names, and how remote bytes are shown.

#include <QString>

#include <cstdint>
#include <string>

// The current-folder label for the folder the server reports: "/" stays "/",
// anything else gets one "/" appended (so "/pub/" becomes "/pub//").
std::string RemoteFolderCaption(const std::string &Info);

// The remote name of a local file: everything after the last "/".
std::string RemoteNameOfLocalPath(const std::string &LocalPath);

// The remote path of the unattended upload: DefRemote and Name joined by
// exactly one "/". An empty DefRemote means the root folder.
std::string JoinDefaultRemote(const std::string &DefRemote, const std::string &Name);

// A local folder and a file name joined by one "/" ("/" + "a" is "/a").
std::string JoinLocalPath(const std::string &Folder, const std::string &Name);

// The extension that picks a list item's icon: from the last "." to the end,
// or empty when a "\", ":" or "/" follows that dot (or there is no dot).
std::string ItemExtension(const std::string &Name);

// Whether a name from a server's listing may be used as a local file name:
// not empty, not "." or "..", no "/" and no NUL byte. Anything else could
// place the file outside the folder the user chose.
bool IsSafeLocalName(const std::string &Name);

// The restart offset typed into the options page: a non-negative 64-bit
// decimal number; 0 when the text is empty, not a number or out of range.
int64_t ParseRestartOffset(const std::string &Text);

// Size of a local file in bytes, -1 when nothing exists at Path.
int64_t LocalFileSize(const std::string &Path);

// Whether Path names an existing regular file (symbolic links followed).
bool IsRegularFile(const std::string &Path);
// Whether Path is a folder (a link to one counts).
bool IsLocalFolder(const std::string &Path);

// How a remote name (arbitrary bytes) is shown: invalid UTF-8 becomes
// replacement characters, and control and direction-override characters
// are shown as escapes (\x1B, \u202E), so a server can neither hide parts
// of a name nor make it look like another one.
QString DisplayName(const std::string &Bytes);

// How a typed host is shown in titles and messages: an IPv6 literal with
// its brackets and port ("[::1]:21", DefaultPort when none was typed),
// anything else as DisplayName shows it.
QString HostForPeople(const std::string &Typed, uint16_t DefaultPort);

// A reply or an error text in one line for a message: its lines joined by
// blanks, each shown as DisplayName shows a name.
QString ReplyForPeople(const std::string &Text);
