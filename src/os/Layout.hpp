// Where an install's files lie, derived from the path of the launcher executable alone. Nothing
// here looks at the disk.
#pragma once

#include <filesystem>

namespace launcher_stub::os {

struct InstallLayout {
  std::filesystem::path root;       // directory of the executable; empty when unknown
  std::filesystem::path bootstrap;  // root / "bootstrap-v1.json"
  std::filesystem::path seedEntry;  // root / "seed" / "entry-v1"
};

// The layout of an install whose executable is `executable`.
InstallLayout installLayout(const std::filesystem::path& executable);

// True when `path` lies at or below `bundle`, comparing whole components of both paths after
// lexical normalisation. Every path is inside the empty bundle path.
bool isInsideBundle(const std::filesystem::path& path, const std::filesystem::path& bundle);

}  // namespace launcher_stub::os
