// Where a save goes when the user has not chosen: a new folder under the
// user's Pictures folder named after the card and the day.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "output/save.hpp"

namespace lk {

// Reads an environment variable (std::getenv, or a table in tests).
using EnvironmentLookup = std::function<const char*(const char*)>;

// The user's Pictures folder: XDG_PICTURES_DIR from user-dirs.dirs in
// $XDG_CONFIG_HOME (else ~/.config) when it names a folder that exists and
// is not the home folder itself (which is how the file disables it), else
// ~/Pictures when it exists, else the home folder ($HOME, else the password
// database's).
std::string PicturesFolder(const EnvironmentLookup& getenv);

// A card's input name as a folder name: the last name of its path, without a short
// extension ("File /home/u/card.img" gives "card", "/dev/sdb1" gives
// "sdb1", "Physical Drive 2" stays as it is),
// with control characters and those file systems or other systems refuse
// (/ \ : * ? " < > |) replaced by "_", without leading or trailing blanks
// and dots, at most 100 bytes; "Recovered pictures" when nothing is left.
std::string SafeFolderName(const std::string& input_name);

// The proposed destination: "<pictures>/<card> <YYYY-MM-DD>" for the local
// date of `today`, or, when that exists with other content, the first of
// "... (2)", "... (3)"... that does not. A folder that is empty, or whose
// files are all files of the list at their paths with their sizes (an
// earlier save of the same card, which saving again leaves alone), is not
// other content.
std::string DefaultDestination(const std::string& pictures, const std::string& input_name,
                               std::time_t today, const std::vector<SaveItem>& list);

}  // namespace lk
