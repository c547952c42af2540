// CPU cost of one web_fetch on loopback against a bare libcurl GET on a reused keep-alive
// handle, same local server, same run; one thread and ten. Prints each as a ratio.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "core/web_fetch.hpp"
#include "tests/support/http_server.hpp"

namespace {

std::unique_ptr<zolt::HttpServer> server;
std::string url;

std::size_t swallow(char*, std::size_t size, std::size_t count, void*) { return size * count; }

void bare_curl_get(benchmark::State& state) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &swallow);
    for (auto _ : state)
        if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("bare GET failed");
    curl_easy_cleanup(easy);
}

void one_web_fetch(benchmark::State& state) {
    for (auto _ : state)
        if (zolt::web_fetch(url) != "short") state.SkipWithError("web_fetch failed");
}

BENCHMARK(bare_curl_get)->Threads(1)->Threads(10);
BENCHMARK(one_web_fetch)->Threads(1)->Threads(10);

// Keeps each run's CPU time per request so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.iterations > 0)
                cpu_per_request[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    std::map<std::string, double> cpu_per_request;
};

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // CPU time is counted on the calling threads only, so the server's work, which is the
    // same for both, does not water the ratio down.
    server = std::make_unique<zolt::HttpServer>(
        [](const zolt::RecordedRequest&) { return zolt::ScriptedReply::text("short"); });
    url = server->url("/_app.php?url=http://example.com/a?b=1");

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* threads : {"threads:1", "threads:10"}) {
        auto bare = reporter.cpu_per_request.find(std::string("bare_curl_get/") + threads);
        auto ours = reporter.cpu_per_request.find(std::string("one_web_fetch/") + threads);
        if (bare == reporter.cpu_per_request.end() || ours == reporter.cpu_per_request.end())
            continue;
        std::printf("web_fetch CPU per request vs bare keep-alive libcurl GET, %s: %.2fx\n",
                    threads, ours->second / bare->second);
    }
    benchmark::Shutdown();
    server.reset();
}
