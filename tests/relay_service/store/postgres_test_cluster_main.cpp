// `start STATE` / `stop STATE`: CTest's setup and cleanup of the one
// PostgreSQL cluster the store's tests share. STATE is a file holding the
// cluster's folder; a cluster left there by an interrupted run is stopped
// before a new one starts.
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include "postgres_test_cluster.h"

using namespace morvane::relay_service::testing;

namespace {

void stopRecorded(const std::string& state) {
    std::string folder;
    std::ifstream(state) >> folder;
    if (!folder.empty()) stopPostgresCluster(folder);
    std::remove(state.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::string(argv[1]) != "start" && std::string(argv[1]) != "stop")) {
        std::fprintf(stderr, "usage: %s start|stop STATE-FILE\n", argv[0]);
        return 2;
    }
    const std::string state = argv[2];
    try {
        stopRecorded(state);
        if (std::string(argv[1]) == "start") {
            const auto folder = startPostgresCluster();
            std::ofstream(state) << folder << "\n";
            std::printf("test cluster in %s\n", folder.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
