#include "ftp/IpFtpDirTree.h"

#include "ftp/IpFtpClient.h"

TIpFtpDirTree::~TIpFtpDirTree()
{
    if (FFtpClient && FFtpClient->DirectoryTree() == this)
        FFtpClient->SetDirectoryTree(nullptr);
}
