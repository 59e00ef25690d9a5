// Names of the numbered fields and option bits of the statement records that
// the procedure's grammar fills (frame/korvgram.cpp: {bit k}, {num k},
// {open k ...}, ...). The frame reads the records into the common block; a
// stage may read them too (the restricted means build their own state from
// them). A test checks every name against the grammar.
#pragma once

// The procedure statement's record, which the BY, FREQ, WEIGHT, ID, TEST and
// SURVIVAL statements fill too, and the first TIME statement through the
// statement reader.
namespace proc_field
{
enum : int {
    BY = 0,
    DATA = 1,
    ANNOTATE = 2,
    OUTSURV = 3, // also the SURVIVAL statement's OUT=
    OUTTEST = 4,
    ATRISK_TIMES = 5, // PLOTS=SURVIVAL(ATRISK=list)
    LANNOTATE = 6,
    FREQ = 7,
    TEST = 8,
    ID = 9,
    TIME = 10,          // TIME statement: the time variable
    CENSOR = 11,        // TIME statement: the censoring variable
    CENSOR_VALUES = 12, // TIME statement: the censoring values
    CONFTYPE = 13,
    FAILCODES = 14, // TIME statement: FAILCODE= or EVENTCODE= values
    METHOD = 15,
    MAXTIME = 16,
    WIDTH = 17,
    NINTERVAL = 18,
    ALPHA = 19,
    INTERVALS = 20,
    GOUT_LIBRARY = 21,
    GOUT_MEMBER = 22,
    DESCRIPTION = 23,
    CONFBAND = 24,
    SINGULAR = 25,
    FORMCHAR_POSITIONS = 26,
    FORMCHAR = 27,
    ALPHAQT = 28,
    TIMELIM = 29,
    TIMELIST = 30,
    EVENT_SYMBOL = 31,
    CENSORED_SYMBOL = 32,
    CENSORED_COLOR = 33,
    CENSORED_NAME = 34, // read for the device graphics; CENSORED(NAME=) writes field 35
    SURVIVAL_NAME = 35,
    LOGSURV_NAME = 36,
    LOGLOGS_NAME = 37,
    HAZARD_NAME = 38,
    DENSITY_NAME = 39,
    BANDMAX = 40,
    BANDMIN = 41,
    STRATA_ARRANGEMENT = 42, // SURVIVAL(STRATA=)
    NGRID = 43,
    GRIDL = 44,
    GRIDU = 45,
    BANDWIDTHS = 46,
    BW_RANGE_LOW = 47,
    BW_RANGE_HIGH = 48,
    HAZARD_METHOD = 49,
    KERNEL = 50,
    NMINGRID = 51,
    CB = 52, // SURVIVAL(CB=)
    MAXLEN = 53,
    OUTSIDE_SHARE = 54,
    WEIGHT = 55,
    ERROR = 56,
    OUTCIF = 57,
    RHO = 58,
    RMST_TAU = 59,
    RMTL_TAU = 60,
    RMST_ARRANGEMENT = 61, // PLOTS=RMST(STRATA=)
    RMTL_ARRANGEMENT = 62, // PLOTS=RMTL(STRATA=)
    // PLOTS=HAZARD(STRATA=): a field of its own, so that it never arranges
    // the survival plot, whose STRATA= is field 42.
    HAZARD_ARRANGEMENT = 63,
};
} // namespace proc_field

namespace proc_bit
{
enum : int {
    NOPRINT = 1,
    NOCENSPLOT = 2,
    GRAPHICS = 3,
    NOTABLE = 4,
    MISSING = 5,
    LINEPRINTER = 6,
    PLOT_CENSORED = 10,
    PLOT_SURVIVAL = 11,
    PLOT_LOGSURV = 12,
    PLOT_LOGLOGS = 13,
    PLOT_HAZARD = 14,
    PLOT_DENSITY = 15,
    NELSON = 19,
    REDUCEOUT = 20,
    SID_ON = 21,
    SID_OFF = 22,
    PRINTPHANTOM = 23,
    STDERR = 24,
    SURVIVAL_ATRISK = 25,
    SURVIVAL_CL = 26,
    SURVIVAL_HW = 27,
    SURVIVAL_EP = 28,
    SURVIVAL_TEST = 29,
    PLOTS_ONLY = 30,
    SURVIVAL_OUT = 31, // the SURVIVAL statement's OUT=
    PLOT_ALL = 32,
    PLOT_NONE = 33,
    HAZARD_CL = 34,
    PLOTS = 35,
    SURVIVAL_FAILURE = 36,
    DENSITY_CL = 37,
    SURVIVAL_NOCENSORED = 38,
    SURVIVAL_CB = 39,
    ATRISK = 40,
    NOLEFT = 41,
    NOTRUNCATE = 42,
    ATRISK_TICK = 43,
    ATRISK_OUTSIDE = 44,
    ATRISK_TICKONLY = 45,
    PLOT_CIF = 46,
    CIF_CL = 47,
    CIFVAR = 48,
    FAILCODE = 49, // TIME statement: FAILCODE or EVENTCODE
    CIF_TEST = 50,
    XCBMINOPT = 51,
    RMST = 52,
    RMTL = 53,
    PLOT_RMST = 54,
    PLOT_RMTL = 55,
    RMST_BC = 56,
    PLOT_RMST_CL = 57,
    RMTL_BC = 59,
    PLOT_RMTL_CL = 60,
    RMST_CL = 62,
    RMTL_CL = 63,
};
} // namespace proc_bit

// The STRATA statement's record.
namespace strata_field
{
enum : int {
    VARIABLES = 1,
    CUT_POINTS = 2,
    CUT_MARKS = 3,
    GROUP = 4,
    FLEMING_RHO = 5,
    FLEMING_GAMMA = 6,
    ADJUST = 7,
    DIFF = 8,
    CONTROL = 9,
    CONTROL_VALUES = 10,
    SIM_ACC = 11,
    SIM_EPS = 12,
    SIM_TIMEINC = 13,
    SIM_SEED = 14,
    SIM_NSAMP = 15,
    SIM_ALPHA = 16,
    STEPDOWN_LOGICAL_SIZE = 17,
    STEPDOWN_MAXTIME = 18,
    STEPDOWN_ORDER = 19,
    ORDER = 20,
};
} // namespace strata_field

namespace strata_bit
{
enum : int {
    MISSING = 1,
    NOTEST = 2,
    NODETAIL = 3,
    TREND = 4,
    LOGRANK = 5,
    WILCOXON = 6,
    TARONE = 7,
    PETO = 8,
    MODPETO = 9,
    FLEMING = 10,
    LR = 11,
    TEST_ALL = 12,
    DIFF = 13,
    SIM_REPORT = 14,
    SIM_REDRANK = 15,
    SIM_NOREDRANK = 16,
    STEPDOWN = 17,
    STEPDOWN_LOGICAL = 18,
    STEPDOWN_REPORT = 19,
    TEST_NONE = 20,
    NOLABEL = 21,
    RATIO = 22,
};
} // namespace strata_bit
