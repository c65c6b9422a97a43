// Large registry images, as a full HKLM export of a real machine is: the
// program writes a UTF-16LE .reg image of about 80 MB (170,000 keys, 530,000
// values), then times, in the same run,
//   - iconv decoding it to UTF-8 (the floor: reading the text at all), and
//   - qvinst98 loading it and running RemoveUsbDevices on the XP road,
// each as a child process, with the child's peak resident memory.
// Usage: qvinst98_image_bench QVINST98_TOOL [KEYS] [--keep DIR]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
};

// Runs a command as a child process, its output to /dev/null.
Measured runChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
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
  return {seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
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
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--keep") {
      dir = argv[i + 1];
      keep = true;
    }
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
  if (!keep) std::filesystem::remove_all(dir);
  return 0;
}
