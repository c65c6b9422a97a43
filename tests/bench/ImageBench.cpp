// Large registry images, as a full HKLM export of a real machine is: the
// program writes a UTF-16LE .reg image of about 80 MB (170,000 keys, 530,000
// values), then times, in the same run,
//   - iconv decoding it to UTF-8 (the floor: reading the text at all), and
//   - qvinst98 loading it and running RemoveUsbDevices on the XP road,
// each as a child process, with the child's peak resident memory.
// With --hive, it also times beside hivexml dumping it the preview of the
// real SYSTEM hive with the product's records planted (RemoveAuxDevices
// removes them), and the preview of the hive as it is (nothing changes), and
// fails when the first costs more than twice hivexml's processor time.
// Usage: qvinst98_image_bench QVINST98_TOOL [KEYS] [--keep DIR]
//          [--hive SYSTEM.xz HIVE_PLANT RECORDS.reg]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Appends ASCII text as UTF-16LE.
void put(std::string& out, std::string_view text) {
  for (char c : text) {
    out += c;
    out += '\0';
  }
}

std::string hex(unsigned value, int digits) {
  static const char* digitsText = "0123456789abcdef";
  std::string text(digits, '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = digitsText[value & 15];
  return text;
}

// A machine of `keys` keys, three values on average each (a string, a dword
// and binary data on most keys), spread as an export is: the enumerator
// tree, driver keys, services and software keys. A hundredth of the USB
// devices are the product's.
// Joins texts by appending (GCC 12 at -O3 warns falsely on "x" + string).
template <typename... Parts>
std::string cat(const Parts&... parts) {
  std::string text;
  (text.append(std::string_view(parts)), ...);
  return text;
}

void writeImage(const std::filesystem::path& file, int keys) {
  std::ofstream out(file, std::ios::binary);
  std::string chunk;
  chunk += "\xff\xfe";
  put(chunk, "Windows Registry Editor Version 5.00\r\n\r\n");
  const char* areas[] = {
      "SYSTEM\\CurrentControlSet\\Enum\\USB\\",
      "SYSTEM\\CurrentControlSet\\Control\\Class\\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\",
      "SYSTEM\\CurrentControlSet\\Services\\", "SOFTWARE\\Classes\\CLSID\\"};
  for (int i = 0; i < keys; ++i) {
    const int area = i % 4;
    std::string key = cat("[HKEY_LOCAL_MACHINE\\", areas[area]);
    if (area == 0) {
      const bool product = (i / 4) % 100 == 0;
      key += product ? cat("VID_1D9F&PID_21", hex((i / 400) % 64, 2))
                     : cat("VID_", hex(0x0400 + i % 3000, 4), "&PID_", hex(i, 4));
      key += cat("\\6&", hex(i * 2654435761u, 8), "&0&", std::to_string(i % 9));
    } else if (area == 1) {
      key += hex(i, 4);
    } else if (area == 2) {
      key += cat("svc", std::to_string(i), "\\Parameters");
    } else {
      key += cat("{", hex(i * 2654435761u, 8), "-1d9f-11d0-b6fe-00a0c90f57da}\\InprocServer32");
    }
    key += "]\r\n";
    put(chunk, key);
    put(chunk, cat("\"DeviceDesc\"=\"USB Input Device, composite function number ",
                   std::to_string(i), "\"\r\n"));
    if (i % 2 == 0) put(chunk, "\"Mfg\"=\"(Standard system devices)\"\r\n");
    if (i % 3 != 0) put(chunk, cat("\"ConfigFlags\"=dword:", hex(i, 8), "\r\n"));
    if (i % 3 != 1) put(chunk, cat("\"Capabilities\"=hex:", hex(i & 255, 2), ",00,00,00\r\n"));
    if (area == 0) {
      put(chunk,
          cat("\"Driver\"=\"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\\\", hex(i, 4), "\"\r\n"));
    }
    put(chunk, "\r\n");
    if (chunk.size() > (1u << 20)) {
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      chunk.clear();
    }
  }
  out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  if (!out) throw std::runtime_error(cat("cannot write ", file.string()));
}

struct Measured {
  double seconds;
  long peakKiB;
  int status;
  double cpuSeconds = 0;  // user and system
};

// Runs a command as a child process, its output to /dev/null.
Measured runChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // What is printed so far goes out once, not again from each child.
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto cpu = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return {seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          cpu(usage.ru_utime) + cpu(usage.ru_stime)};
}

// The best of three runs of each command, taken in turns; the highest memory.
std::vector<Measured> bestOfThree(const std::vector<std::vector<std::string>>& commands) {
  std::vector<Measured> best(commands.size(), Measured{1e9, 0, 0, 1e9});
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const Measured m = runChild(commands[i]);
      if (m.status != 0) {
        std::cerr << commands[i][0] << " failed with " << m.status << '\n';
        return {};
      }
      best[i] = {std::min(best[i].seconds, m.seconds), std::max(best[i].peakKiB, m.peakKiB), 0,
                 std::min(best[i].cpuSeconds, m.cpuSeconds)};
    }
  }
  return best;
}

// The hive previews beside hivexml; 1 when the preview with changes costs
// more than twice hivexml's processor time.
int benchHive(const std::string& tool, const std::filesystem::path& dir, const std::string& packed,
              const std::string& plant, const std::string& records) {
  const std::string real = (dir / "SYSTEM").string();
  const std::string planted = (dir / "planted").string();
  const std::string unpack = "xz -dc '" + packed + "' > '" + real + "'";
  if (std::system(unpack.c_str()) != 0 ||
      runChild({plant, "plant", real, planted, records}).status != 0) {
    std::cerr << "cannot unpack the hive and plant the records\n";
    return 1;
  }
  const std::vector<Measured> m =
      bestOfThree({{"hivexml", planted},
                   {tool, "--hive", "SYSTEM=" + planted, "RemoveAuxDevices"},
                   {tool, "--hive", "SYSTEM=" + real, "RemoveAuxDevices"}});
  if (m.empty()) return 1;
  const double mb = static_cast<double>(std::filesystem::file_size(planted)) / 1e6;
  std::printf("hive: %.1f MB SYSTEM hive, the product's records planted\n", mb);
  const char* names[] = {"hivexml dump:               ", "qvinst98 preview, changes:  ",
                         "qvinst98 preview, none:     "};
  for (int i = 0; i < 3; ++i)
    std::printf("%s %.3f s (%.2f x), processor %.3f s (%.2f x), peak %.0f MB\n", names[i],
                m[i].seconds, m[i].seconds / m[0].seconds, m[i].cpuSeconds,
                m[i].cpuSeconds / m[0].cpuSeconds, m[i].peakKiB / 1024.0);
  if (m[1].cpuSeconds > 2 * m[0].cpuSeconds) {
    std::printf("the preview with changes costs more than twice hivexml's dump\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: qvinst98_image_bench QVINST98_TOOL [KEYS] [--keep DIR]\n";
    return 2;
  }
  const std::string tool = argv[1];
  const int keys = argc > 2 && argv[2][0] != '-' ? std::atoi(argv[2]) : 170000;
  std::filesystem::path dir;
  bool keep = false;
  std::vector<std::string> hive;  // SYSTEM.xz, HIVE_PLANT, RECORDS.reg
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--keep") {
      dir = argv[i + 1];
      keep = true;
    }
    if (std::string(argv[i]) == "--hive" && i + 3 < argc) hive.assign(argv + i + 1, argv + i + 4);
  }
  if (!keep) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qvinst98-image-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    dir = pattern;
  }
  std::filesystem::create_directories(dir);
  const auto image = dir / "hklm.reg";
  writeImage(image, keys);
  const auto bytes = std::filesystem::file_size(image);

  // Each measurement three times; the best time and the highest memory count.
  Measured iconv{1e9, 0, 0};
  Measured clean{1e9, 0, 0};
  for (int round = 0; round < 3; ++round) {
    const Measured a = runChild({"iconv", "-f", "UTF-16LE", "-t", "UTF-8", image.string()});
    const Measured b =
        runChild({tool, "--registry", image.string(), "--os", "winxp", "RemoveUsbDevices"});
    if (a.status != 0 || b.status != 0) {
      std::cerr << "a child failed: iconv " << a.status << ", qvinst98 " << b.status << '\n';
      return 1;
    }
    iconv = {std::min(iconv.seconds, a.seconds), std::max(iconv.peakKiB, a.peakKiB), 0};
    clean = {std::min(clean.seconds, b.seconds), std::max(clean.peakKiB, b.peakKiB), 0};
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("image: %d keys, %.1f MB UTF-16LE\n", keys, mb);
  std::printf("iconv decode:                 %.3f s, peak %.0f MB\n", iconv.seconds,
              iconv.peakKiB / 1024.0);
  std::printf(
      "qvinst98 load + RemoveUsbDevices: %.3f s (%.1f x iconv), peak %.0f MB (%.2f x file)\n",
      clean.seconds, clean.seconds / iconv.seconds, clean.peakKiB / 1024.0,
      clean.peakKiB * 1024.0 / static_cast<double>(bytes));
  const int hiveResult = hive.empty() ? 0 : benchHive(tool, dir, hive[0], hive[1], hive[2]);
  if (!keep) std::filesystem::remove_all(dir);
  return hiveResult;
}
