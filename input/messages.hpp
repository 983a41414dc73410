// Texts of the input layer whose wording depends on the platform. Both
// wordings are catalogue texts, so that each build shows its own and the
// language files can translate either.
#pragma once

namespace lk {

// A logical drive is a drive letter on Windows and a device path here.
inline constexpr const char* kLogicalDriveNameWindows = "Logical Drive %hc:";
inline constexpr const char* kLogicalDriveNamePosix = "Volume %hs";

// Reading whole drives needs more rights than an ordinary user has.
inline constexpr const char* kDriveRightsWindows =
    "Lumenkeeper requires administrator rights\nto access physical drives on this "
    "computer.\nPlease check that you have administrator rights\nor use 'Run as "
    "Administrator'.\n";
inline constexpr const char* kDriveRightsPosix =
    "Lumenkeeper requires permission to read the drives\nof this computer directly.\nPlease "
    "run it as root (for example with sudo)\nor add your user to the 'disk' group.\n";

#ifdef _WIN32
inline constexpr const char* kLogicalDriveName = kLogicalDriveNameWindows;
inline constexpr const char* kDriveRights = kDriveRightsWindows;
#else
inline constexpr const char* kLogicalDriveName = kLogicalDriveNamePosix;
inline constexpr const char* kDriveRights = kDriveRightsPosix;
#endif

}  // namespace lk
