// Starts and stops the status server CYCLES times while two clients keep
// connecting to it (one asks for /metrics, one holds its connection idle),
// and says whether descriptors and memory stay flat, and how long each stop
// took:
//   http_cycles CYCLES [--no-memory-check]
// Exits 1 when a descriptor is left behind, memory grows by more than 1 MiB
// after the first tenth of the cycles, or a cycle saw no client served.
// (A sanitizer's build keeps freed memory aside, so it skips the memory
// check: LeakSanitizer checks the memory there.)
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KwStatsHttpServer.h"
#include "OpenDescriptors.h"

namespace {

typedef std::chrono::steady_clock Clock;

std::atomic<int> g_port{0};
std::atomic<unsigned long> g_served{0};
std::atomic<bool> g_done{false};

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return atol(line.c_str() + 6);
        }
    }
    return 0;
}

int Connect() {
    int port = g_port.load();
    if (port == 0) {
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the server closes, or 5 s pass.
bool ReadToEnd(int fd, bool& answered) {
    char buffer[4096];
    pollfd ready = {fd, POLLIN, 0};
    while (poll(&ready, 1, 5000) == 1) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return n == 0;
        }
        answered = answered || strncmp(buffer, "HTTP/1.1 200", 12) == 0;
    }
    return false;
}

// Connects again and again until the cycles end: a scraper asks for /metrics
// and counts the answers; an idler holds its connection without a word
// until the server drops it.
void Client(bool scraper) {
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    while (!g_done.load()) {
        int fd = Connect();
        if (fd < 0) {
            std::this_thread::yield();
            continue;
        }
        bool answered = false;
        if (!scraper ||
            write(fd, request, sizeof request - 1) == static_cast<ssize_t>(sizeof request - 1)) {
            ReadToEnd(fd, answered);
        }
        close(fd);
        if (scraper && answered) {
            ++g_served;
        }
    }
}

bool Snapshot(KwStatsSnapshot& out) {
    out = KwStatsSnapshot();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int cycles = argc > 1 ? atoi(argv[1]) : 0;
    bool checkMemory = !(argc > 2 && strcmp(argv[2], "--no-memory-check") == 0);
    if (cycles < 10 || argc > 2 + !checkMemory) {
        fprintf(stderr, "usage: http_cycles CYCLES (10 or more) [--no-memory-check]\n");
        return 2;
    }
    const int descriptors = OpenDescriptors();
    std::thread scraper(Client, true), idler(Client, false);
    std::vector<double> stops;
    long warmKiB = 0;
    int unserved = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        std::string error;
        std::unique_ptr<KwStatsHttpServer> server =
            KwStatsHttpServer::Start(KwStatsHttpOptions(), error, Snapshot);
        if (!server) {
            fprintf(stderr, "http_cycles: %s\n", error.c_str());
            return 1;
        }
        // Serve at least one client in each cycle, within 5 s.
        unsigned long served = g_served.load();
        g_port.store(server->Port());
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        while (g_served.load() == served && Clock::now() < deadline) {
            std::this_thread::yield();
        }
        unserved += g_served.load() == served;
        g_port.store(0);
        Clock::time_point stopping = Clock::now();
        server.reset();
        stops.push_back(std::chrono::duration<double, std::milli>(Clock::now() - stopping).count());
        if (cycle == cycles / 10) {
            warmKiB = ResidentKiB();
        }
    }
    g_done.store(true);
    scraper.join();
    idler.join();
    const long endKiB = ResidentKiB();
    const int left = OpenDescriptors() - descriptors;
    std::sort(stops.begin(), stops.end());
    printf(
        "http_cycles: %d cycles, %lu scrapes served; descriptors left %d; RSS %ld KiB after "
        "%d cycles, %ld KiB at the end; stop took %.2f ms median, %.2f ms at most\n",
        cycles, g_served.load(), left, warmKiB, cycles / 10 + 1, endKiB, stops[stops.size() / 2],
        stops.back());
    if (left != 0 || (checkMemory && endKiB - warmKiB > 1024) || unserved != 0) {
        fprintf(stderr, "http_cycles: FAILED (%d cycles served no one)\n", unserved);
        return 1;
    }
    return 0;
}
