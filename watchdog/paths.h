// The directories and files the watchdog works with.
#pragma once

// The tmp and data directories. The program always uses kDirs; the functions
// take them as a parameter so that tests can point them at scratch trees.
struct WatchdogDirs {
    const char *tmp;   // run file, alive files, upgrade package; children get it with -T
    const char *data;  // .bootchk and upgraded files; children get it with -D
};

inline constexpr WatchdogDirs kDirs = {"/tmp/.uci/", "../data/"};

inline constexpr const char kConfigFile[] = "config";   // beside the watchdog
inline constexpr const char kBootchkFile[] = ".bootchk";
inline constexpr const char kBootCountFile[] = ".bootcount";  // failed attempts of the upgrade, beside .bootchk
inline constexpr const char kPackageFile[] = "ttupgrade.tgz";
inline constexpr const char kBundleFile[] = "init.bin";
inline constexpr const char kDefaultProcess[] = "korvex-dpi-inner";
