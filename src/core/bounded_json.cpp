#include "core/bounded_json.h"

namespace morvane {

namespace {

using Json = nlohmann::json;

// Walks the document without building it; refuses the first level deeper
// than the limit and remembers that this, not bad syntax, stopped it.
struct DepthWalk : nlohmann::json_sax<Json> {
    explicit DepthWalk(int limit) : limit(limit) {}
    int limit;
    int depth = 0;
    bool tooDeep = false;
    bool deeper() {
        if (++depth <= limit) return true;
        tooDeep = true;
        return false;
    }
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return deeper(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return --depth, true; }
    bool start_array(std::size_t) override { return deeper(); }
    bool end_array() override { return --depth, true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

template <typename Iterator>
std::variant<Json, BoundedJson::Problem> parseRange(Iterator first, Iterator last, int maxDepth) {
    DepthWalk walk(maxDepth);
    bool accepted = false;
    try {
        accepted = Json::sax_parse(first, last, &walk);
    } catch (const Json::exception&) {
        accepted = false;
    }
    if (!accepted) return walk.tooDeep ? BoundedJson::Problem::tooDeep : BoundedJson::Problem::notJSON;
    Json value = Json::parse(first, last, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return BoundedJson::Problem::notJSON;
    return value;
}

}  // namespace

std::variant<Json, BoundedJson::Problem> BoundedJson::parse(std::string_view text, int maxDepth) {
    return parseRange(text.begin(), text.end(), maxDepth);
}

std::variant<Json, BoundedJson::Problem> BoundedJson::parse(std::span<const std::uint8_t> bytes, int maxDepth) {
    return parseRange(bytes.begin(), bytes.end(), maxDepth);
}

std::string BoundedJson::describe(Problem problem, int maxDepth) {
    switch (problem) {
        case Problem::tooDeep:
            return "nested deeper than " + std::to_string(maxDepth) + " levels";
        case Problem::notJSON:
            break;
    }
    return "not valid JSON";
}

}  // namespace morvane
