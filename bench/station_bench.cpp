// Cards at once as the station runs them: the program itself, given 1, 2
// and 4 simulated cards over each link's model, dumps every card whole
// (--dump --json). The aggregate rate is the sum of the cards' modelled read
// rates from their records (each card on its own clock, as each socket is
// its own hardware); the host CPU time each card costs is the program's
// user and system time (wait4) over the cards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::uintmax_t card_bytes = 4u << 20;  // 8192 sectors a card
constexpr double bytes_per_mb = 1e6;

// A link's model: the settings after each card's image. Cards on a
// two-interface chip take its interfaces in turn, two to a chip.
struct LinkModel {
    const char* name;
    std::string (*settings)(int card);
};

std::string chip_interface(const char* chip, int card) {
    return std::string(",via=ftdi,chip=") + chip + ",serial=VT00C" + std::to_string(card / 2) +
           (card % 2 ? ",interface=B" : ",interface=A");
}

const LinkModel links[] = {
    {"port", [](int) { return std::string(); }},
    {"gpio", [](int) { return std::string(",via=gpio"); }},
    {"spidev", [](int) { return std::string(",via=spidev"); }},
    {"ft232h", [](int) { return std::string(",via=ftdi"); }},  // a bridge each
    {"ft2232h", [](int card) { return chip_interface("ft2232h", card); }},
    {"ft2232d", [](int card) { return chip_interface("ft2232d", card); }},
};

// The program's standard output and its CPU time in seconds; false when it
// could not be run or did not end with status 0.
bool run_program(const std::vector<std::string>& args, std::string& out, double& cpu_seconds) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        std::vector<char*> argv{const_cast<char*>(VANTACLE_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    char chunk[4096];
    for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return false;
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The number after "key": in each record line, summed; the count of lines in records.
double sum_of(const std::string& records, const std::string& key, int& lines) {
    double sum = 0;
    lines = 0;
    const std::string marked = "\"" + key + "\":";
    for (std::size_t at = records.find(marked); at != std::string::npos; at = records.find(marked, at + 1)) {
        sum += std::strtod(records.c_str() + at + marked.size(), nullptr);
        ++lines;
    }
    return sum;
}

void station_dump(benchmark::State& state, const LinkModel& link, int cards) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vantacle-station-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::vector<std::string> args{"--dump=" + (dir / "dump-{socket}.img").string(), "--json", "--force"};
    for (int card = 0; card < cards; ++card) {
        const std::filesystem::path image = dir / ("card-" + std::to_string(card) + ".img");
        std::ofstream(image, std::ios::binary).close();
        std::filesystem::resize_file(image, card_bytes);
        args.push_back("--port=sim:" + image.string() + ",card=sd2" + link.settings(card));
    }
    for (auto _ : state) {
        std::string records;
        double cpu = 0;
        int lines = 0;
        if (!run_program(args, records, cpu)) state.SkipWithError("the station did not pass");
        const double aggregate = sum_of(records, "read_bytes_per_second", lines);
        if (lines != cards) state.SkipWithError("a record is missing");
        const double sectors = static_cast<double>(card_bytes / 512);
        state.counters["cards"] = cards;
        state.counters["aggregate_MB/s"] = aggregate / bytes_per_mb;
        state.counters["per_card_MB/s"] = aggregate / bytes_per_mb / cards;
        state.counters["cpu_s_per_card"] = cpu / cards;
        state.counters["cpu_us_per_sector"] = cpu / cards / sectors * 1e6;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

[[maybe_unused]] const bool registered = [] {
    for (const LinkModel& link : links)
        for (const int cards : {1, 2, 4})
            benchmark::RegisterBenchmark(("BM_StationDump/" + std::string(link.name) + "/" + std::to_string(cards)).c_str(),
                                         [&link, cards](benchmark::State& state) { station_dump(state, link, cards); })
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
    return true;
}();

}  // namespace
