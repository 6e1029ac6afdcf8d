// Benchmark of the launcher stub, run by hand (see the README). Every figure is taken in one run,
// beside references measured in the same run:
//   launch overhead   spawn to the runtime's first instruction through the stub, against the same
//                     runtime started directly, through /bin/sh -c 'exec ...' and through a bare C
//                     launcher that spawns it and polls waitpid every 250 ms (bench_poll); state
//                     root on tmpfs (median) and on disk (95th percentile)
//   CPU per launch    user + system time of the whole run (wait4); a launcher's own share is that
//                     less the runtime's own, which the runtime reports for itself and whose exit
//                     is estimated from the direct runs
//   exit delay        the runtime's exit to the stub's exit
//   supervision CPU   CPU per minute of supervising a quiet runtime, less the start-up, for several
//                     stubs and bare poll loops side by side in the same window (medians): one
//                     that never reports ready, so that its marker is looked for on every tick,
//                     and one that has reported ready; beside them bare poll loops that also open
//                     a missing file as deep as the marker on every tick
//   peak memory       the largest resident set of the stub and the runtimes it reaped
// Usage: launcher_stub_bench [options] LAUNCHER_STUB BENCH_RUNTIME BENCH_POLL
//   --tmpfs DIR      the tmpfs work directory (default /dev/shm)
//   --disk DIR       the on-disk work directory (default /var/tmp)
//   --seconds N      the supervision window (default 60)
//   --launches N     launches of each case (default 200)
//   --instances N    supervisors of each kind in the window (default 3)
//   --compare STUB   a second stub executable measured side by side (for instance the one before
//                    a change); it is reported first
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

double cpuMs(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

struct Run {
  long long startNs = 0;  // just before the spawn
  long long endNs = 0;    // when the process was reaped
  rusage usage{};
};

pid_t start(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  return pid;
}

Run finish(pid_t pid, long long startNs) {
  Run run;
  run.startNs = startNs;
  int status = 0;
  wait4(pid, &status, 0, &run.usage);
  run.endNs = nowNs();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    static_cast<void>(std::fprintf(stderr, "benchmark run failed (status %d)\n", status));
    std::exit(1);
  }
  return run;
}

Run spawnAndWait(const std::vector<std::string>& argv) {
  const long long startNs = nowNs();
  return finish(start(argv), startNs);
}

// What the runtime left in the output file: its first clock reading (ns) and its own CPU (us).
struct Report {
  long long firstNs = 0;
  long long cpuUs = 0;
};

Report readReport(const fs::path& path) {
  std::ifstream in(path);
  Report report;
  if (!(in >> report.firstNs >> report.cpuUs)) {
    static_cast<void>(std::fprintf(stderr, "no report from the runtime in %s\n", path.c_str()));
    std::exit(1);
  }
  return report;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(std::lround(p * static_cast<double>(v.size() - 1)));
  return v[at];
}
double median(const std::vector<double>& v) { return percentile(v, 0.5); }

// An install under `dir`: the stub, a bootstrap naming "state" beside it and the runtime as the
// seed; the seed's entry doubles as the runtime that is started directly.
struct Install {
  std::string stub;
  std::string runtime;
};

Install makeInstall(const fs::path& dir, const std::string& stub, const std::string& runtime) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir / "seed");
  fs::copy_file(stub, dir / "launcher_stub");
  fs::copy_file(runtime, dir / "seed" / "entry-v1");
  std::ofstream(dir / "bootstrap-v1.json")
      << R"({"schemaVersion":1,"installId":"bench","seedSlot":"seed","stateRoot":"state"})";
  return {(dir / "launcher_stub").string(), (dir / "seed" / "entry-v1").string()};
}

// Launches that end at once: spawn to first instruction (ms), CPU of the whole run (ms) and the
// runtime's own CPU as it reported it (ms).
struct Launches {
  std::vector<double> latency, cpu, runtimeCpu;
  long maxRssKb = 0;
  void add(const Run& r, const fs::path& out) {
    const Report report = readReport(out);
    latency.push_back(static_cast<double>(report.firstNs - r.startNs) / 1e6);
    cpu.push_back(cpuMs(r.usage));
    runtimeCpu.push_back(static_cast<double>(report.cpuUs) / 1e3);
    maxRssKb = std::max(maxRssKb, r.usage.ru_maxrss);
  }
  // The whole run less the runtime's own CPU, and less the runtime's exit (`exitMs`), which
  // happens after its report.
  double own(double exitMs) const {
    std::vector<double> v;
    v.reserve(cpu.size());
    for (std::size_t i = 0; i < cpu.size(); ++i) v.push_back(cpu[i] - runtimeCpu[i] - exitMs);
    return median(v);
  }
};

// One stub executable under test, with everything measured for it.
struct Subject {
  std::string name;
  Install tmpfs, disk;
  std::vector<Install> supervisors, readySupervisors;
  Launches launches, diskLaunches;
  std::vector<double> exitDelay;
  long maxRssKb = 0;
  std::vector<double> startUp;
  std::vector<double> supervision, readySupervision;  // ms per minute, one per supervisor
};

[[noreturn]] void usage(const char* self) {
  static_cast<void>(
      std::fprintf(stderr,
                   "usage: %s [--tmpfs DIR] [--disk DIR] [--seconds N] [--launches N] "
                   "[--instances N] [--compare STUB] LAUNCHER_STUB BENCH_RUNTIME BENCH_POLL\n",
                   self));
  std::exit(2);
}

// A whole decimal number from 1 to `max`. The figures are per minute and per launch, so a bad
// number must not turn into zero: it ends the run with the usage text.
int count(const std::string& text, long max, const char* self) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end == nullptr || *end != '\0' || value <= 0 || value > max) usage(self);
  return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
  std::string tmpfsDir = "/dev/shm", diskDir = "/var/tmp", compare;
  int seconds = 60, launches = 200, instances = 3;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&] {
      if (i + 1 >= argc) usage(argv[0]);
      return std::string(argv[++i]);
    };
    if (arg == "--tmpfs") {
      tmpfsDir = value();
    } else if (arg == "--disk") {
      diskDir = value();
    } else if (arg == "--seconds") {
      seconds = count(value(), 86400, argv[0]);
    } else if (arg == "--launches") {
      launches = count(value(), 100000, argv[0]);
    } else if (arg == "--instances") {
      instances = count(value(), 100, argv[0]);
    } else if (arg == "--compare") {
      compare = fs::absolute(value()).string();
    } else if (arg.rfind("--", 0) == 0) {
      usage(argv[0]);
    } else {
      positional.push_back(fs::absolute(arg).string());
    }
  }
  if (positional.size() != 3) usage(argv[0]);
  const std::string runtimeBinary = positional[1];
  const std::string poll = positional[2];

  const fs::path work = fs::path(tmpfsDir) / "launcher_stub_bench";
  const fs::path diskWork = fs::path(diskDir) / "launcher_stub_bench";
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::remove_all(diskWork, ec);

  std::vector<Subject> subjects(compare.empty() ? 1 : 2);
  for (std::size_t s = 0; s < subjects.size(); ++s) {
    Subject& subject = subjects[s];
    subject.name = !compare.empty() && s == 0 ? "compared stub" : "launcher_stub";
    const std::string& binary = !compare.empty() && s == 0 ? compare : positional[0];
    const std::string tag = "stub" + std::to_string(s);
    subject.tmpfs = makeInstall(work / tag, binary, runtimeBinary);
    subject.disk = makeInstall(diskWork / tag, binary, runtimeBinary);
    for (int i = 0; i < instances; ++i) {
      subject.supervisors.push_back(
          makeInstall(work / (tag + "-supervisor" + std::to_string(i)), binary, runtimeBinary));
      subject.readySupervisors.push_back(
          makeInstall(work / (tag + "-ready" + std::to_string(i)), binary, runtimeBinary));
    }
  }
  const std::string runtime = subjects.back().tmpfs.runtime;
  const std::string diskRuntime = subjects.back().disk.runtime;
  const fs::path out = work / "out";
  setenv("BENCH_OUT", out.c_str(), 1);

  // The first start of each install writes its first boot document; a few more warm the caches.
  // Every round runs each case once, so that the machine's load falls on all of them alike.
  for (int i = 0; i < 20; ++i) {
    for (const Subject& subject : subjects) {
      spawnAndWait({subject.tmpfs.stub, "start"});
      spawnAndWait({subject.disk.stub, "start"});
      if (i == 0) {
        for (const Install& supervisor : subject.supervisors) {
          spawnAndWait({supervisor.stub, "start"});
        }
        for (const Install& supervisor : subject.readySupervisors) {
          spawnAndWait({supervisor.stub, "start"});
        }
      }
    }
    spawnAndWait({runtime, "start"});
  }
  // With two stubs, each round swaps their order, so that neither always follows the same case.
  const auto inTurn = [&subjects](int round) {
    std::vector<Subject*> order;
    order.reserve(subjects.size());
    for (Subject& subject : subjects) order.push_back(&subject);
    if (round % 2 == 1) std::reverse(order.begin(), order.end());
    return order;
  };
  Launches direct, viaShell, viaPoll;
  for (int i = 0; i < launches; ++i) {
    direct.add(spawnAndWait({runtime, "start"}), out);
    for (Subject* subject : inTurn(i)) {
      subject->launches.add(spawnAndWait({subject->tmpfs.stub, "start"}), out);
    }
    viaShell.add(spawnAndWait({"/bin/sh", "-c", "exec '" + runtime + "' start"}), out);
    viaPoll.add(spawnAndWait({poll, runtime, "start"}), out);
    for (Subject* subject : inTurn(i)) {
      const Run r = spawnAndWait({subject->tmpfs.stub, "exit"});
      subject->exitDelay.push_back(static_cast<double>(r.endNs - readReport(out).firstNs) / 1e6);
      subject->maxRssKb = std::max(subject->maxRssKb, r.usage.ru_maxrss);
    }
  }
  // On disk every fsync reaches the device; its tail is the figure.
  Launches diskDirect;
  for (int i = 0; i < launches; ++i) {
    diskDirect.add(spawnAndWait({diskRuntime, "start"}), out);
    for (Subject* subject : inTurn(i)) {
      subject->diskLaunches.add(spawnAndWait({subject->disk.stub, "start"}), out);
    }
  }

  // Supervision: every stub's supervisors and as many bare poll loops each supervise a runtime
  // that sleeps for the whole window, all side by side; the median CPU of a run whose runtime
  // exits at once is taken off each.
  std::vector<double> pollStartUp;
  for (int i = 0; i < 20; ++i) {
    for (Subject& subject : subjects) {
      subject.startUp.push_back(cpuMs(spawnAndWait({subject.tmpfs.stub, "sleep", "0"}).usage));
    }
    pollStartUp.push_back(cpuMs(spawnAndWait({poll, runtime, "sleep", "0"}).usage));
  }
  const std::string window = std::to_string(seconds);
  const double perMinute = 60.0 / seconds;
  struct Supervisor {
    pid_t pid;
    Subject* subject;  // none: a bare poll loop
    bool ready;        // its runtime reported ready; for a poll loop: it looks for a marker
  };
  // The marker that the looking poll loops look for lies as deep as a stub's ready marker.
  std::vector<std::string> lookedFor;
  for (int i = 0; i < instances; ++i) {
    const fs::path attempt = work / ("looker" + std::to_string(i)) / "state" / "attempts" /
                             "0123456789abcdef0123456789abcdef";
    fs::create_directories(attempt);
    lookedFor.push_back((attempt / "ready-v1").string());
  }
  std::vector<Supervisor> supervisors;
  const long long windowStart = nowNs();
  for (int i = 0; i < instances; ++i) {
    for (Subject& subject : subjects) {
      supervisors.push_back(
          {start({subject.supervisors[i].stub, "sleep", window}), &subject, false});
      supervisors.push_back(
          {start({subject.readySupervisors[i].stub, "ready", window}), &subject, true});
    }
    supervisors.push_back({start({poll, runtime, "sleep", window}), nullptr, false});
    supervisors.push_back(
        {start({poll, "--look", lookedFor[i], runtime, "sleep", window}), nullptr, true});
  }
  std::vector<double> pollSupervision, lookSupervision;
  for (const Supervisor& supervisor : supervisors) {
    const Run r = finish(supervisor.pid, windowStart);
    if (supervisor.subject == nullptr) {
      const double cpu = (cpuMs(r.usage) - median(pollStartUp)) * perMinute;
      (supervisor.ready ? lookSupervision : pollSupervision).push_back(cpu);
    } else {
      Subject& subject = *supervisor.subject;
      const double cpu = (cpuMs(r.usage) - median(subject.startUp)) * perMinute;
      (supervisor.ready ? subject.readySupervision : subject.supervision).push_back(cpu);
      subject.maxRssKb = std::max(subject.maxRssKb, r.usage.ru_maxrss);
    }
  }

  // The runtime's exit, after its report, estimated from the direct runs, where the whole run is
  // the runtime's.
  std::vector<double> directExit;
  directExit.reserve(direct.cpu.size());
  for (std::size_t i = 0; i < direct.cpu.size(); ++i) {
    directExit.push_back(direct.cpu[i] - direct.runtimeCpu[i]);
  }
  const double exitMs = median(directExit);
  const double directLatency = median(direct.latency);
  const double directCpu = median(direct.cpu);
  const double pollMedian = median(pollSupervision);
  const double lookMedian = median(lookSupervision);

  std::printf(
      "%d launches per case; state root on %s (tmpfs) and %s (disk); %d s of supervision "
      "with %d of each supervisor side by side\n",
      launches, work.c_str(), diskWork.c_str(), seconds, instances);
  std::printf("%-36s %11s %11s %11s %11s\n", "launch, state root on tmpfs", "first instr",
              "overhead", "CPU/launch", "own CPU");
  const auto row = [&](const std::string& name, const Launches& l, double own) {
    std::printf("%-36s %8.3f ms %8.3f ms %8.3f ms %8.3f ms\n", name.c_str(), median(l.latency),
                median(l.latency) - directLatency, median(l.cpu), own);
  };
  row("runtime started directly", direct, directCpu);
  row("/bin/sh -c 'exec RUNTIME'", viaShell, median(viaShell.cpu) - directCpu);
  row("bare C launcher (bench_poll)", viaPoll, viaPoll.own(exitMs));
  for (const Subject& subject : subjects) {
    row(subject.name, subject.launches, subject.launches.own(exitMs));
  }
  std::printf(
      "(own CPU: the whole run less the runtime's own, %.3f ms of it reported by the "
      "runtime and %.3f ms of exit; for the shell, the excess over the direct run)\n",
      median(direct.runtimeCpu), exitMs);
  std::printf(
      "bare 250 ms waitpid poll loop: %.2f ms of CPU per minute (start-up %.3f ms); "
      "the same loop opening a missing file as deep as the ready marker on every tick: "
      "%.2f, %.2f above\n",
      pollMedian, median(pollStartUp), lookMedian, lookMedian - pollMedian);
  for (const Subject& subject : subjects) {
    const double diskP95 = percentile(subject.diskLaunches.latency, 0.95);
    const double diskOverhead = diskP95 - median(diskDirect.latency);
    const double supervision = median(subject.supervision);
    const double readySupervision = median(subject.readySupervision);
    const long rssKb = std::max(subject.maxRssKb, subject.launches.maxRssKb);
    std::printf("%s:\n", subject.name.c_str());
    std::printf(
        "  on disk: median %.3f ms, p95 %.3f ms; direct median %.3f ms; overhead p95 "
        "%.3f ms\n",
        median(subject.diskLaunches.latency), diskP95, median(diskDirect.latency), diskOverhead);
    std::printf("  exit delay: median %.1f ms, max %.1f ms\n", median(subject.exitDelay),
                *std::max_element(subject.exitDelay.begin(), subject.exitDelay.end()));
    std::printf(
        "  supervision: %.2f ms of CPU per minute (start-up %.3f ms), %.2f above the bare "
        "poll loop; once the runtime has reported ready %.2f, %.2f above\n",
        supervision, median(subject.startUp), supervision - pollMedian, readySupervision,
        readySupervision - pollMedian);
    std::printf("  peak resident memory: %.2f MiB\n", static_cast<double>(rssKb) / 1024.0);
    // One line for collecting several runs.
    std::printf(
        "  summary: direct=%.3f shell_overhead=%.3f poll_overhead=%.3f overhead=%.3f "
        "poll_own_cpu=%.3f own_cpu=%.3f disk_p95_overhead=%.3f exit_max=%.1f "
        "poll_supervision=%.2f look_above_poll=%.2f supervision=%.2f above_poll=%.2f "
        "ready_above_poll=%.2f rss_mib=%.2f\n",
        directLatency, median(viaShell.latency) - directLatency,
        median(viaPoll.latency) - directLatency, median(subject.launches.latency) - directLatency,
        viaPoll.own(exitMs), subject.launches.own(exitMs), diskOverhead,
        *std::max_element(subject.exitDelay.begin(), subject.exitDelay.end()), pollMedian,
        lookMedian - pollMedian, supervision, supervision - pollMedian,
        readySupervision - pollMedian, static_cast<double>(rssKb) / 1024.0);
  }

  fs::remove_all(work, ec);
  fs::remove_all(diskWork, ec);
  return 0;
}
