// The formatter against the C library's snprintf and swprintf, on the program's own
// messages and on a long line with five conversions. The formatter is built here with the
// size-optimising flags of the shipped executable (see cmake/tests.cmake), the C library as
// the system ships it. Before timing, each message is formatted by all three and compared,
// so that the three do the same work.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "support/format.h"

namespace {

const DWORD Capacity = 512;

const char VolumeNarrow[] = "\\\\?\\Volume{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}\\";
const WCHAR VolumeUtf16[] = u"\\\\?\\Volume{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}\\";
const wchar_t VolumeWide[] = L"\\\\?\\Volume{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}\\";
const char SuffixNarrow[] = " (C:\\, D:\\Mount\\Data)";
const WCHAR SuffixUtf16[] = u" (C:\\, D:\\Mount\\Data)";
const wchar_t SuffixWide[] = L" (C:\\, D:\\Mount\\Data)";
const char ErrorNarrow[] = "5 - Access is denied.";
const WCHAR ErrorUtf16[] = u"5 - Access is denied.";
const wchar_t ErrorWide[] = L"5 - Access is denied.";
const unsigned Count = 4294967295u;
const unsigned Code = 0x80070005u;
const int Error = -2147024891;

// One message in the three forms. Each function formats into its buffer and returns the
// length of the text.
struct Message {
  const char* name;
  DWORD (*sorvanel)(WCHAR* buffer);
  int (*narrow)(char* buffer);
  int (*wide)(wchar_t* buffer);
};

// The long line has 120 characters of format and five conversions.
const Message Messages[] = {
    {"Flushing %s%s",
     [](WCHAR* b) { return FormatText(b, Capacity, u"Flushing %s%s", VolumeUtf16, SuffixUtf16); },
     [](char* b) { return snprintf(b, Capacity, "Flushing %s%s", VolumeNarrow, SuffixNarrow); },
     [](wchar_t* b) { return swprintf(b, Capacity, L"Flushing %ls%ls", VolumeWide, SuffixWide); }},
    {"Cannot open %s (%s)",
     [](WCHAR* b) { return FormatText(b, Capacity, u"Cannot open %s (%s)", VolumeUtf16, ErrorUtf16); },
     [](char* b) { return snprintf(b, Capacity, "Cannot open %s (%s)", VolumeNarrow, ErrorNarrow); },
     [](wchar_t* b) { return swprintf(b, Capacity, L"Cannot open %ls (%ls)", VolumeWide, ErrorWide); }},
    {"%u",
     [](WCHAR* b) { return FormatText(b, Capacity, u"%u", Count); },
     [](char* b) { return snprintf(b, Capacity, "%u", Count); },
     [](wchar_t* b) { return swprintf(b, Capacity, L"%u", Count); }},
    {"%08X",
     [](WCHAR* b) { return FormatText(b, Capacity, u"%08X", Code); },
     [](char* b) { return snprintf(b, Capacity, "%08X", Code); },
     [](wchar_t* b) { return swprintf(b, Capacity, L"%08X", Code); }},
    {"120 characters, 5 conversions",
     [](WCHAR* b) {
       return FormatText(b, Capacity,
                         u"Volume %s at %s was flushed %u times; the last attempt ended with error %d "
                         u"(0x%08X); the next one follows in one minute.",
                         VolumeUtf16, SuffixUtf16, Count, Error, Code);
     },
     [](char* b) {
       return snprintf(b, Capacity,
                       "Volume %s at %s was flushed %u times; the last attempt ended with error %d "
                       "(0x%08X); the next one follows in one minute.",
                       VolumeNarrow, SuffixNarrow, Count, Error, Code);
     },
     [](wchar_t* b) {
       return swprintf(b, Capacity,
                       L"Volume %ls at %ls was flushed %u times; the last attempt ended with error %d "
                       L"(0x%08X); the next one follows in one minute.",
                       VolumeWide, SuffixWide, Count, Error, Code);
     }},
};

// The same text from all three, or the benchmark is not a comparison.
bool SameText(const Message& m) {
  WCHAR ours[Capacity];
  char narrow[Capacity];
  wchar_t wide[Capacity];
  DWORD n = m.sorvanel(ours);
  if (m.narrow(narrow) != static_cast<int>(n) || m.wide(wide) != static_cast<int>(n)) return false;
  for (DWORD i = 0; i < n; ++i) {
    if (ours[i] != static_cast<unsigned char>(narrow[i]) || static_cast<wchar_t>(ours[i]) != wide[i]) return false;
  }
  return true;
}

void Sorvanel(benchmark::State& state, const Message* m) {
  if (!SameText(*m)) state.SkipWithError("the three formatters disagree");
  WCHAR buffer[Capacity];
  for (auto _ : state) {
    benchmark::DoNotOptimize(m->sorvanel(buffer));
    benchmark::ClobberMemory();
  }
}

void Snprintf(benchmark::State& state, const Message* m) {
  char buffer[Capacity];
  for (auto _ : state) {
    benchmark::DoNotOptimize(m->narrow(buffer));
    benchmark::ClobberMemory();
  }
}

void Swprintf(benchmark::State& state, const Message* m) {
  wchar_t buffer[Capacity];
  for (auto _ : state) {
    benchmark::DoNotOptimize(m->wide(buffer));
    benchmark::ClobberMemory();
  }
}

// Each message once with each formatter, next to each other in the output.
int RegisterAll() {
  for (const Message& m : Messages) {
    std::string name = std::string("Format/") + m.name;
    benchmark::RegisterBenchmark((name + "/sorvanel").c_str(), Sorvanel, &m);
    benchmark::RegisterBenchmark((name + "/snprintf").c_str(), Snprintf, &m);
    benchmark::RegisterBenchmark((name + "/swprintf").c_str(), Swprintf, &m);
  }
  return 0;
}

const int Registered = RegisterAll();

}  // namespace
