// The lock every guarded per-device export takes first: the device-list mutex,
// a named mutex that the user's processes share (on Linux a claim on an
// abstract socket), taken and given back with no other process wanting it.
// Beside it, the same pair on an unnamed mutex: the part a process-private
// lock costs.
#include "Platform.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void WaitAndRelease(benchmark::State &state, const wchar_t *name) {
    Platform::Handle mutex = Platform::CreateKernelMutex(name);
    int64_t failures = 0;
    for (auto _ : state) {
        failures += !Platform::IsAcquired(Platform::WaitForMutex(mutex, 500));
        failures += !Platform::ReleaseMutex(mutex);
    }
    state.counters["failures"] = benchmark::Counter(static_cast<double>(failures));
    Platform::CloseHandle(mutex);
}

void BM_NamedMutexWaitRelease(benchmark::State &state) {
    const std::wstring name = L"Ostrel_bench_mutex." + std::to_wstring(Platform::CurrentProcessId());
    WaitAndRelease(state, name.c_str());
}
BENCHMARK(BM_NamedMutexWaitRelease)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_UnnamedMutexWaitRelease(benchmark::State &state) {
    WaitAndRelease(state, nullptr);
}
BENCHMARK(BM_UnnamedMutexWaitRelease)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
