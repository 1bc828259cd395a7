// Listing parser throughput and memory: a generated Unix listing of LINES
// lines (1,000,000 by default) held as one string is parsed RUNS times (3 by
// default). Prints lines per second (first and best run) and the peak
// resident size of the process against the size of the listing text.
//
//   bench_listing [LINES] [RUNS]

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ftp/IpFtpList.h"

namespace {

long PeakRssKiB()
{
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return Usage.ru_maxrss; // KiB on Linux
}

// A listing shaped like what common servers send: a total line, a mix of
// folders, files and links, sizes of every magnitude, both date forms, and
// some names with blanks.
std::string MakeListing(long Lines)
{
    static const char *const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::string Text;
    Text.reserve(static_cast<std::size_t>(Lines) * 72 + 64);
    Text += "total ";
    Text += std::to_string(Lines * 8);
    Text += "\r\n";
    char Line[256];
    uint64_t Seed = 88172645463325252ULL;
    for (long I = 1; I < Lines; ++I) {
        Seed ^= Seed << 13;
        Seed ^= Seed >> 7;
        Seed ^= Seed << 17;
        const unsigned Pick = static_cast<unsigned>(Seed % 100);
        const char *Mode = Pick < 15 ? "drwxr-xr-x" : Pick < 20 ? "lrwxrwxrwx" : "-rw-r--r--";
        const unsigned long long Size = Pick < 15 ? 4096 : (Seed >> 20) % (Pick < 95 ? 1000000ULL : 10000000000ULL);
        const char *Month = Months[(Seed >> 8) % 12];
        const unsigned Day = 1 + static_cast<unsigned>((Seed >> 12) % 28);
        int N;
        if (Pick % 2)
            N = std::snprintf(Line, sizeof Line, "%s %3u %-8s %-8s %12llu %s %2u %02u:%02u ", Mode,
                              1 + static_cast<unsigned>(Seed % 9), "webuser", "www-data", Size, Month, Day,
                              static_cast<unsigned>((Seed >> 16) % 24), static_cast<unsigned>((Seed >> 24) % 60));
        else
            N = std::snprintf(Line, sizeof Line, "%s %3u %-8s %-8s %12llu %s %2u  %4u ", Mode,
                              1 + static_cast<unsigned>(Seed % 9), "ftp", "ftp", Size, Month, Day,
                              1995 + static_cast<unsigned>((Seed >> 16) % 30));
        Text.append(Line, static_cast<std::size_t>(N));
        if (Pick % 7 == 0)
            N = std::snprintf(Line, sizeof Line, "Project files %ld.txt", I);
        else
            N = std::snprintf(Line, sizeof Line, "file_%07ld.dat", I);
        Text.append(Line, static_cast<std::size_t>(N));
        if (Mode[0] == 'l')
            Text += " -> ../target";
        Text += "\r\n";
    }
    return Text;
}

} // namespace

int main(int argc, char **argv)
{
    const long Lines = argc > 1 ? std::atol(argv[1]) : 1000000;
    const int Runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (Lines < 1 || Runs < 1) {
        std::fprintf(stderr, "usage: bench_listing [LINES>=1] [RUNS>=1]\n");
        return 2;
    }
    const long BaseKiB = PeakRssKiB();
    const std::string Listing = MakeListing(Lines);

    TIpFtpFileList List;
    double First = 0, Best = 0;
    for (int R = 0; R < Runs; ++R) {
        const auto T0 = std::chrono::steady_clock::now();
        List.ParseListing(Listing, dsUnix);
        const auto T1 = std::chrono::steady_clock::now();
        const double Secs = std::chrono::duration<double>(T1 - T0).count();
        const double Rate = static_cast<double>(Lines) / Secs;
        if (R == 0)
            First = Rate;
        if (Rate > Best)
            Best = Rate;
    }
    const long PeakKiB = PeakRssKiB();
    const double TextMiB = static_cast<double>(Listing.size()) / (1024.0 * 1024.0);

    std::printf("lines:              %ld (%zu entries kept)\n", Lines, List.Count());
    std::printf("listing text:       %zu bytes (%.1f MiB)\n", Listing.size(), TextMiB);
    std::printf("parse, first run:   %.0f lines/s\n", First);
    std::printf("parse, best of %d:   %.0f lines/s\n", Runs, Best);
    std::printf("peak RSS:           %ld KiB (%.1f MiB; %ld KiB before the listing was made)\n", PeakKiB,
                PeakKiB / 1024.0, BaseKiB);
    std::printf("peak RSS / text:    %.2f\n", PeakKiB * 1024.0 / static_cast<double>(Listing.size()));
    return 0;
}
