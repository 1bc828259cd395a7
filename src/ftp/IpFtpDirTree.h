#pragma once
// What the FTP client needs of a remote folder tree. The client feeds the
// tree (current folder, finished listings, clear on close) and the tree asks
// the client for folder changes; neither owns the other. The desktop
// program's tree widget implements this; the engine never sees a widget.

#include <string>
#include <string_view>

#include "ftp/IpFtpList.h"

class TIpCustomFtpClient;

class TIpFtpDirTree
{
public:
    TIpFtpDirTree() = default;
    // Unbinds from the client when the client still points at this tree, so
    // the client never keeps a reference to a destroyed tree.
    virtual ~TIpFtpDirTree();
    TIpFtpDirTree(const TIpFtpDirTree &) = delete;
    TIpFtpDirTree &operator=(const TIpFtpDirTree &) = delete;

    // Removes every node and every list item.
    virtual void ClearAll() = 0;
    // The client's new current folder, with "\" separators.
    virtual void SetCurrentPath(const std::string &Path) = 0;
    // The whole text of a finished listing of the current folder.
    virtual void LoadListing(const std::string &Listing) = 0;
    // Listing style used to parse listings (the client picks one from the
    // server's system reply while it is dsNone).
    virtual TIpFtpDirStyle DirectoryStyle() const = 0;
    virtual void SetDirectoryStyle(TIpFtpDirStyle Value) = 0;

    // The parser style for a finished listing: DirectoryStyle(), except
    // for dsAuto, where it is MLSD's when the client listed with MLSD, else
    // the one the server's system name suggests, else the one the listing
    // looks like (Unix when it looks like none).
    TIpFtpDirStyle ListingStyle(std::string_view Listing) const;

    // The client this tree asks for folder changes (not owned).
    TIpCustomFtpClient *FtpClient() const { return FFtpClient; }
    void SetFtpClient(TIpCustomFtpClient *Value) { FFtpClient = Value; }

private:
    TIpCustomFtpClient *FFtpClient = nullptr;
};
