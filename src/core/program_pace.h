// How often a check may start a program it asks. A program that answers
// keeps being asked at the check's own pace: it may be the only way to know.
// One that fails the same way several times in a row rests for minutes
// before it is started again, longer while it goes on failing so: a tool
// missing on this desktop, or a service nobody runs, then costs a few starts
// an hour instead of one every few seconds for the whole session. An answer,
// or a failure of another kind (something changed), starts the count again.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace morvane {

struct ProgramPace {
    static constexpr int failuresBeforeRest = 3;
    static constexpr std::int64_t firstRestMillis = 5 * 60'000;
    static constexpr std::int64_t longestRestMillis = 20 * 60'000;

    // A clock that went back ends a rest, so that none lasts for good.
    bool due(std::int64_t nowMillis) const;
    void answered();
    // `way` tells failures apart (an exit status, a timeout, a missing program).
    void failed(int way, std::int64_t nowMillis);
    bool operator==(const ProgramPace&) const = default;

    int failures = 0;  // in a row, the same way
    int way = 0;
    std::int64_t restMillis = 0;  // 0 while not resting
    std::int64_t restFrom = 0;
};

// The paces of the programs a check starts, one for each command line; used
// from any thread.
class ProgramPaces {
public:
    explicit ProgramPaces(std::function<std::int64_t()> clock) : clock_(std::move(clock)) {}

    bool due(const std::vector<std::string>& argv);
    void record(const std::vector<std::string>& argv, std::optional<int> failure);

private:
    static std::string key(const std::vector<std::string>& argv);
    std::function<std::int64_t()> clock_;
    std::mutex lock_;
    std::map<std::string, ProgramPace> paces_;
};

// `run`, called with a command line and a time limit, at the pace of each
// program: while one rests it is not started, and `resting` stands for its
// result. `failure` says how a result failed, or nothing when it answered.
template <class Result, class Failure>
std::function<Result(const std::vector<std::string>&, std::int64_t)> pacedRunner(
    std::function<Result(const std::vector<std::string>&, std::int64_t)> run, std::shared_ptr<ProgramPaces> paces,
    Failure failure, Result resting) {
    return [run = std::move(run), paces = std::move(paces), failure = std::move(failure),
            resting = std::move(resting)](const std::vector<std::string>& argv, std::int64_t limitMillis) {
        if (!paces->due(argv)) return resting;
        Result result = run(argv, limitMillis);
        paces->record(argv, failure(result));
        return result;
    };
}

}  // namespace morvane
