// The remote API at scale:
//  1. decoding a keltro.getBackups reply of 10,000 backup records and filling Backups, side by
//     side with Python's xmlrpc.client.loads on the same document (target: 5 times faster);
//  2. one keltro.getAPI call over loopback HTTP against the test server.
//
// Usage: bench_remote [records]

#include "common/XmlRpcPeer.h"
#include "remote/XMLRPCConnector.h"
#include "remote/XmlRpcCall.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The reply as the server writes it: one struct per record, a member per line.
std::string backupsReply(int records) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<methodResponse>\n<params>\n"
                       "<param>\n<value><array>\n<data>\n";
    char buffer[1024];
    for (int i = 0; i < records; ++i) {
        const int id = records - i;
        std::snprintf(
            buffer, sizeof buffer,
            "<value><struct>\n"
            "<member><name>id</name>\n<value><int>%d</int></value>\n</member>\n"
            "<member><name>description</name>\n<value><string>Backup taken on %d March 2024 "
            "&amp; checked</string></value>\n</member>\n"
            "<member><name>backupstart</name>\n<value><string>2024-03-%02d 10:%02d:%02d</string>"
            "</value>\n</member>\n"
            "<member><name>status</name>\n<value><string>complete</string></value>\n</member>\n"
            "<member><name>origin</name>\n<value><string>%s</string></value>\n</member>\n"
            "<member><name>type</name>\n<value><string>%s</string></value>\n</member>\n"
            "<member><name>meta</name>\n<value><string>%s</string></value>\n</member>\n"
            "<member><name>profile</name>\n<value><int>1</int></value>\n</member>\n"
            "<member><name>archivename</name>\n<value><string>site-www.example.com-backup-%d.kta"
            "</string></value>\n</member>\n"
            "</struct></value>\n",
            id, 1 + i % 28, 1 + i % 28, i % 60, (7 * i) % 60, i % 2 ? "backend" : "remote",
            i % 3 == 0 ? "full" : (i % 3 == 1 ? "dbonly" : "extradbonly"),
            i % 4 == 3 ? "fail" : "ok", id);
        text += buffer;
    }
    text += "</data>\n</array></value>\n</param>\n</params>\n</methodResponse>\n";
    return text;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Best of several runs of xmlrpc.client.loads on the file, in milliseconds; negative when the
// system Python cannot be run.
double pythonLoads(const fs::path& document, int repeat) {
    const fs::path output = document.string() + ".python";
    const std::string command =
        "/usr/bin/python3 -c \"import sys, timeit, xmlrpc.client\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "params, method = xmlrpc.client.loads(data)\n"
        "assert len(params[0]) > 0\n"
        "best = min(timeit.repeat(lambda: xmlrpc.client.loads(data), number=1, repeat=" +
        std::to_string(repeat) +
        "))\n"
        "print(best * 1000)\" '" +
        document.string() + "' > '" + output.string() + "'";
    if (std::system(command.c_str()) != 0)
        return -1;
    std::ifstream in(output);
    double ms = -1;
    in >> ms;
    return ms;
}

struct TempFolder {
    fs::path path;
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "tolvane-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

} // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int repeat = 15;
    TempFolder folder;

    // ---- 1. Decoding keltro.getBackups ----
    const std::string document = backupsReply(records);
    const fs::path file = folder.path / "getBackups.xml";
    std::ofstream(file, std::ios::binary) << document;

    tlv::TCaller caller;
    std::vector<double> ours;
    size_t filled = 0;
    for (int i = 0; i < repeat; ++i) {
        std::string received = document; // the call hands over the body it received
        const auto start = Clock::now();
        const tlv::TKeltroBackupArray backups =
            tlv::ReadBackups(caller.ProcessReply(std::move(received)));
        ours.push_back(millisecondsSince(start));
        filled = backups.size();
    }
    if (filled != static_cast<size_t>(records)) {
        std::fprintf(stderr, "decoded %zu records instead of %d\n", filled, records);
        return 1;
    }
    const double python = pythonLoads(file, repeat);
    std::printf("keltro.getBackups reply: %d records, %.1f MiB\n", records,
                static_cast<double>(document.size()) / (1 << 20));
    std::printf("  decode + fill Backups (C++):        best %8.2f ms   median %8.2f ms\n",
                *std::min_element(ours.begin(), ours.end()), median(ours));
    if (python > 0)
        std::printf("  xmlrpc.client.loads (Python 3):     best %8.2f ms\n"
                    "  speed-up (best against best):       %8.1f x   (target: 5 x)\n",
                    python, python / *std::min_element(ours.begin(), ours.end()));
    else
        std::printf("  xmlrpc.client.loads: /usr/bin/python3 not available\n");

    // ---- 2. keltro.getAPI over loopback HTTP ----
    tlv::test::XmlRpcPeer peer(folder.path / "peer");
    tlv::TConnectorXMLRPC connector;
    connector.URL = "127.0.0.1" + tlv::test::XmlRpcPeer::Path();
    connector.Port = peer.Port();
    const int calls = 200;
    std::vector<double> times;
    for (int i = 0; i < calls + 5; ++i) {
        connector.APIVersion.clear();
        const auto start = Clock::now();
        connector.GetAPI();
        if (i >= 5) // the first calls warm the server up
            times.push_back(millisecondsSince(start));
    }
    double total = 0;
    for (double t : times)
        total += t;
    std::printf("keltro.getAPI over loopback HTTP (Python test server, new connection each):\n"
                "  median %.3f ms   mean %.3f ms   best %.3f ms   (%d calls)\n",
                median(times), total / static_cast<double>(times.size()),
                *std::min_element(times.begin(), times.end()), calls);
    return 0;
}
