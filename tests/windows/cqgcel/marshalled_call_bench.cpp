// For the bench table: a call through COM's proxy under wine, from a thread outside any
// apartment to CQGCEL on its own pumping apartment thread (the path every access of the
// COM host's marshalled cqgCEL takes), median of 5 runs of 2000 property reads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "com_test_support.h"
#include "platform/com/com.h"
#include "platform/com/marshal.h"

int main() {
  using namespace mx::com;
  std::unique_ptr<Stream> stream;
  testing::ComThread home(
      [&] { stream = CoMarshalInterThreadInterfaceInStream(CreateObject("CQG.CQGCEL.4")); });
  double median_us = 0;
  std::thread caller([&] {
    DispatchPtr cel = CoGetInterfaceAndReleaseStream(std::move(stream));
    constexpr int kCalls = 2000;
    std::vector<double> runs;
    for (int r = 0; r < 5; ++r) {
      auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < kCalls; ++i) cel->Get("IsStarted");
      std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
      runs.push_back(took.count() / kCalls);
    }
    std::sort(runs.begin(), runs.end());
    median_us = runs[runs.size() / 2];
  });
  caller.join();
  home.Stop();
  std::printf("marshalled call under wine's COM: %.1f us\n", median_us);
  return 0;
}
