#include "os/Layout.hpp"

#include <filesystem>

namespace launcher_stub::os {

InstallLayout installLayout(const std::filesystem::path& executable) {
  InstallLayout layout;
  layout.root = executable.parent_path();
  layout.bootstrap = layout.root / "bootstrap-v1.json";
  layout.seedEntry = layout.root / "seed" / "entry-v1";
  return layout;
}

bool isInsideBundle(const std::filesystem::path& path, const std::filesystem::path& bundle) {
  // Purely lexical: nothing is resolved on disk, so a symbolic link inside the bundle that
  // points elsewhere still counts as inside. A trailing separator is an empty last component,
  // so "/a/b/" only contains paths that themselves end with "/a/b/".
  const std::filesystem::path normalPath = path.lexically_normal();
  const std::filesystem::path normalBundle = bundle.lexically_normal();
  auto at = normalPath.begin();
  for (const std::filesystem::path& component : normalBundle) {
    if (at == normalPath.end() || at->native() != component.native()) return false;
    ++at;
  }
  return true;
}

}  // namespace launcher_stub::os
