// The small fixed control messages a connection sends most often, written
// straight into bytes instead of through a JSON object: a pong answers every
// ping of a busy device. Each is byte for byte what `HTTPResponse::json`
// makes of the same object (keys in ascending order, no spaces).
#pragma once

#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/types.h"

namespace morvane::ControlText {

// {"id":ID,"t":"pong"}; `id` is the ping's number as the device sent it.
Bytes pong(const nlohmann::json& id);
// {"t":"denied"}
Bytes denied();
// {"reason":REASON,"t":"bye"}
Bytes bye(std::string_view reason);

}  // namespace morvane::ControlText
