#include "sysinfo/registry.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

namespace {

// A store as an export of many keys looks: a string, a number and a binary
// value each, the binary one wrapped at 25 bytes a line with a trailing
// backslash. As many keys as fit in size bytes.
std::string exportOfSize(std::size_t size) {
    std::string text = "REGEDIT4\n\n";
    for (int number = 0;; ++number) {
        std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvex\\Key" + std::to_string(number) +
                          "]\n\"Name\"=\"C:\\\\Program Files\\\\Tool " + std::to_string(number) +
                          "\"\n\"Count\"=dword:0000002a\n\"Blob\"=hex:";
        for (int i = 0; i < 200; ++i)
            key += i % 25 == 24 ? "5a,\\\n  " : "5a,";
        key += "00\n\n";
        if (text.size() + key.size() > size)
            return text;
        text += key;
    }
}

std::string utf16Text(const std::string &text) {
    const QString wide = QString::fromLatin1(text.data(), qsizetype(text.size()));
    return "\xFF\xFE" +
           std::string(reinterpret_cast<const char *>(wide.utf16()), std::size_t(wide.size()) * 2);
}

// One value whose hex list goes on over every line of size bytes.
std::string continuationRun(std::size_t size) {
    std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvex]\n\"Run\"=hex:";
    while (text.size() + 8 < size)
        text += "00,\\\n  ";
    return text + "00\n";
}

void parse(benchmark::State &state, const std::string &text) {
    for (auto _ : state)
        benchmark::DoNotOptimize(parseRegistryText(text));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

long statusKilobytes(const std::string &field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return 0;
}

// Extra peak memory of one call, in MiB: the kernel's high-water mark is reset
// to the current resident size first.
template <typename Call> double extraPeakMiB(Call call) {
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKilobytes("VmRSS");
    call();
    return double(statusKilobytes("VmHWM") - before) / 1024;
}

} // namespace

// A realistic export of up to state.range(0) bytes, UTF-16 when state.range(1).
static void BM_ParseExport(benchmark::State &state) {
    const auto size = std::size_t(state.range(0));
    parse(state, state.range(1) ? utf16Text(exportOfSize(size / 2 - 1)) : exportOfSize(size));
}
BENCHMARK(BM_ParseExport)
    ->Args({1 << 20, 0})
    ->Args({MaxStoreSize, 0})
    ->Args({MaxStoreSize, 1})
    ->Unit(benchmark::kMillisecond);

// The hostile shapes that once took quadratic time: a 400 KB continuation run
// (parsed), and the cap filled with blank lines (refused at the line bound).
static void BM_ParseContinuationRun(benchmark::State &state) {
    parse(state, continuationRun(400 << 10));
}
BENCHMARK(BM_ParseContinuationRun)->Unit(benchmark::kMillisecond);

static void BM_ParseBlankLines(benchmark::State &state) {
    parse(state, "REGEDIT4" + std::string(MaxStoreSize - 8, '\n'));
}
BENCHMARK(BM_ParseBlankLines)->Unit(benchmark::kMillisecond);

// What one click costs with a store at the cap: open, checks, read and parse,
// and the extra memory that takes at its peak (measured on the first run in
// the process, before anything else is cached).
static void BM_OpenStoreAtCap(benchmark::State &state) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.reg"));
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray::fromStdString(exportOfSize(MaxStoreSize)));
    }
    Registry registry(path.toStdString());
    const auto open = [&registry] {
        HKEY key = 0;
        const auto result = RegOpenKeyExA(registry, HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvex\\Key1",
                                          0, KEY_READ, key);
        RegCloseKey(registry, key);
        return result;
    };
    static const double extra = extraPeakMiB(open);
    for (auto _ : state) {
        if (open() != ERROR_SUCCESS)
            state.SkipWithError("the store did not open");
    }
    state.counters["extra_MiB"] = extra;
}
BENCHMARK(BM_OpenStoreAtCap)->Unit(benchmark::kMillisecond);
