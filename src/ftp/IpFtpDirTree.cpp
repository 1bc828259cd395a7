#include "ftp/IpFtpDirTree.h"

#include "ftp/IpFtpClient.h"

TIpFtpDirTree::~TIpFtpDirTree()
{
    if (FFtpClient && FFtpClient->DirectoryTree() == this)
        FFtpClient->SetDirectoryTree(nullptr);
}

TIpFtpDirStyle TIpFtpDirTree::ListingStyle(std::string_view Listing) const
{
    const TIpFtpDirStyle Style = DirectoryStyle();
    if (Style != dsAuto)
        return Style;
    if (FFtpClient && FFtpClient->ListedWithMlsd())
        return dsMlsd;
    if (FFtpClient && FFtpClient->SystemStyle() != dsNone)
        return FFtpClient->SystemStyle();
    const TIpFtpDirStyle Guess = GuessListingStyle(Listing);
    return Guess == dsNone ? dsUnix : Guess;
}
