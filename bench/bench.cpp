// Benchmark of the launcher stub, run by hand (see the README):
//   launch overhead   stub start to the runtime's first instruction, against starting the same
//                     runtime directly and through /bin/sh -c 'exec ...'
//   exit delay        the runtime's exit to the stub's exit
//   supervision CPU   user + system time of the stub per minute of a quiet runtime
//   peak memory       the stub's peak resident set size
// Usage: launcher_stub_bench LAUNCHER_STUB BENCH_RUNTIME [WORK_DIR] [SUPERVISE_SECONDS]
// WORK_DIR should be on tmpfs (default /dev/shm).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

long long nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

struct Run {
  long long startNs = 0;  // just before the spawn
  long long endNs = 0;    // when the waited-for process was reaped
  rusage usage{};
  int status = 0;
};

Run spawnAndWait(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  Run run;
  pid_t pid = -1;
  run.startNs = nowNs();
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  wait4(pid, &run.status, 0, &run.usage);
  run.endNs = nowNs();
  return run;
}

long long readNs(const fs::path& path) {
  std::ifstream in(path);
  long long value = 0;
  in >> value;
  return value;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double cpuMs(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  // The figures are per minute of supervision: a bad number must not turn into zero seconds.
  char* end = nullptr;
  const long seconds = argc > 4 ? std::strtol(argv[4], &end, 10) : 60;
  if (argc < 3 || seconds <= 0 || seconds > 86400 || (end != nullptr && *end != '\0')) {
    static_cast<void>(std::fprintf(
        stderr, "usage: %s LAUNCHER_STUB BENCH_RUNTIME [WORK_DIR] [SUPERVISE_SECONDS]\n", argv[0]));
    return 2;
  }
  const int superviseSeconds = static_cast<int>(seconds);
  const fs::path work = fs::path(argc > 3 ? argv[3] : "/dev/shm") / "launcher_stub_bench";
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::create_directories(work / "seed");
  fs::copy_file(argv[1], work / "launcher_stub");
  fs::copy_file(argv[2], work / "seed" / "entry-v1");
  std::ofstream(work / "bootstrap-v1.json")
      << R"({"schemaVersion":1,"installId":"bench","seedSlot":"seed","stateRoot":"state"})";
  const fs::path out = work / "out";
  setenv("BENCH_OUT", out.c_str(), 1);
  const std::string stub = (work / "launcher_stub").string();
  const std::string runtime = (work / "seed" / "entry-v1").string();

  constexpr int kRuns = 200;
  std::vector<double> viaStub, direct, viaShell, exitDelay;
  long maxRssKb = 0;
  spawnAndWait({stub, "start"});  // first install: writes the first boot document
  for (int i = 0; i < kRuns; ++i) {
    Run r = spawnAndWait({stub, "start"});
    viaStub.push_back(static_cast<double>(readNs(out) - r.startNs) / 1e6);
    maxRssKb = std::max(maxRssKb, r.usage.ru_maxrss);
    r = spawnAndWait({runtime, "start"});
    direct.push_back(static_cast<double>(readNs(out) - r.startNs) / 1e6);
    r = spawnAndWait({"/bin/sh", "-c", "exec '" + runtime + "' start"});
    viaShell.push_back(static_cast<double>(readNs(out) - r.startNs) / 1e6);
    r = spawnAndWait({stub, "exit"});
    exitDelay.push_back(static_cast<double>(r.endNs - readNs(out)) / 1e6);
    maxRssKb = std::max(maxRssKb, r.usage.ru_maxrss);
  }
  std::printf("launch to first instruction (median of %d, ms): stub %.3f, direct %.3f, "
              "/bin/sh exec %.3f; stub overhead %.3f\n",
              kRuns, median(viaStub), median(direct), median(viaShell),
              median(viaStub) - median(direct));
  std::printf("runtime exit to stub exit (median, ms): %.1f (max %.1f)\n", median(exitDelay),
              *std::max_element(exitDelay.begin(), exitDelay.end()));

  // The start-up's own CPU (a run whose runtime exits at once) is taken off, so what remains is
  // the cost of the 250 ms cycles. A bare loop of 250 ms sleeps is shown beside it: on a virtual
  // machine the wake-ups alone cost a measurable share.
  std::vector<double> startUps;
  startUps.reserve(20);
  for (int i = 0; i < 20; ++i) startUps.push_back(cpuMs(spawnAndWait({stub, "sleep", "0"}).usage));
  Run quiet = spawnAndWait({stub, "sleep", std::to_string(superviseSeconds)});
  maxRssKb = std::max(maxRssKb, quiet.usage.ru_maxrss);
  const double supervision = cpuMs(quiet.usage) - median(startUps);
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  for (int i = 0; i < superviseSeconds * 4; ++i) {
    timespec pause{0, 250000000};
    while (nanosleep(&pause, &pause) != 0) {
    }
  }
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  std::printf("supervision CPU: %.2f ms per minute (start-up %.2f ms taken off; a bare loop of "
              "250 ms sleeps: %.2f ms per minute)\n",
              supervision * 60.0 / superviseSeconds, median(startUps),
              (cpuMs(after) - cpuMs(before)) * 60.0 / superviseSeconds);
  std::printf("peak resident memory of the stub: %.2f MiB\n",
              static_cast<double>(maxRssKb) / 1024.0);
  fs::remove_all(work, ec);
  return 0;
}
