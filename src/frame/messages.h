// Numbers of the procedure-frame messages (group 326) that have no fixed
// number elsewhere: the checks that keep a bad value from reaching the
// analysis.
#pragma once

inline constexpr int KORV_MSG_TOO_MANY_INTERVALS = 3300; // (long limit)
inline constexpr int KORV_MSG_BAD_INTERVAL_WIDTH = 3301;
inline constexpr int KORV_MSG_NO_POSITIVE_INTERVAL = 3302;
inline constexpr int KORV_MSG_INVALID_KEY_VALUE = 3303; // (len, name)
inline constexpr int KORV_MSG_TREE_FAILURE = 3304;
inline constexpr int KORV_MSG_NOT_NUMERIC = 3305;    // (len, name, len, role)
inline constexpr int KORV_MSG_NONFINITE_TIME = 3306; // (long count)
inline constexpr int KORV_MSG_NO_CMPRISK = 3307;
inline constexpr int KORV_MSG_NO_GROUP_ROAD = 3308;
inline constexpr int KORV_MSG_NO_LIFETABLE = 3309;
inline constexpr int KORV_MSG_NO_ASSOCIATION = 3310;
inline constexpr int KORV_MSG_NO_BANDS = 3311;
inline constexpr int KORV_MSG_NO_GRAPHS = 3314;
inline constexpr int KORV_MSG_NO_DIFF = 3312;
inline constexpr int KORV_MSG_NO_VALID_DATA = 3313;
