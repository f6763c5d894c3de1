// LoadConfiguration as the launcher runs it (registry, key derivation from the configured
// password, five decryptions), beside the launcher's one no-update HTTPS request: a fresh client
// and connection asking the local test server for the version document. The summary prints both
// wall times and the share of the configuration step.
#include "config/customtypes.hpp"
#include "http/http_client.hpp"
#include "tests/support/test_server.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace {

void BM_LoadConfiguration(benchmark::State& state) {
    for (auto _ : state) {
        velora::customtypes::LoadConfiguration();
        benchmark::DoNotOptimize(velora::customtypes::apisecret.data());
        velora::customtypes::FinalizeConfiguration();
    }
}
BENCHMARK(BM_LoadConfiguration)->UseRealTime()->Unit(benchmark::kMicrosecond);

std::unique_ptr<velora::test::TestServer> gServer;

void BM_NoUpdateRequest(benchmark::State& state) {
    const velora::UnicodeString url =
        velora::U16(gServer->Url("/library/controllers/velora-softwareversion"));
    for (auto _ : state) {
        auto client = velora::THTTPClient::Create();
        auto response = client->Get(url);
        benchmark::DoNotOptimize(response->ContentAsString());
    }
}
BENCHMARK(BM_NoUpdateRequest)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

class ShareReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            // Single runs, or the mean when repetitions are asked for.
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "mean") {
                FWallMicros[r.run_name.function_name] =
                    r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e6;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double config = FWallMicros["BM_LoadConfiguration"];
        const double request = FWallMicros["BM_NoUpdateRequest"];
        if (config > 0 && request > 0) {
            std::printf("\nLoadConfiguration:          %10.1f us\n"
                        "no-update HTTPS request:    %10.1f us\n"
                        "configuration / request:    %10.2f %%\n",
                        config, request, 100.0 * config / request);
        }
    }

private:
    std::map<std::string, double> FWallMicros;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    velora::test::TestServerOptions options;
    options.routesJson = R"({"/library/controllers/velora-softwareversion": {"body": "0"}})";
    gServer = std::make_unique<velora::test::TestServer>(options);
    ShareReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    gServer.reset();
    benchmark::Shutdown();
    return 0;
}
