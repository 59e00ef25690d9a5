// The older names of some frame messages (group 326), kept for the files that
// still use them; new code uses msg326:: from vyr_message_names.h, which the
// catalogue lines name.
#pragma once

#include "vyr_message_names.h"

inline constexpr int KORV_MSG_TOO_MANY_INTERVALS = msg326::TOO_MANY_INTERVALS; // (long limit)
inline constexpr int KORV_MSG_BAD_INTERVAL_WIDTH = msg326::BAD_INTERVAL_WIDTH;
inline constexpr int KORV_MSG_NO_POSITIVE_INTERVAL = msg326::NO_POSITIVE_INTERVAL;
inline constexpr int KORV_MSG_INVALID_KEY_VALUE = msg326::INVALID_KEY_VALUE; // (len, name)
inline constexpr int KORV_MSG_TREE_FAILURE = msg326::TREE_FAILURE;
inline constexpr int KORV_MSG_NOT_NUMERIC = msg326::NOT_NUMERIC;       // (len, name, len, role)
inline constexpr int KORV_MSG_NONFINITE_TIME = msg326::NONFINITE_TIME; // (long count)
inline constexpr int KORV_MSG_NO_VALID_DATA = msg326::NO_VALID_DATA;
