#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "engine/source_device.h"

namespace korvid::sources {

// Opens a disk, a volume or an image file read-only and learns its exact length. Raises
// KorvidError (OpenFailed) with the path and the system's text.
std::unique_ptr<SourceDevice> OpenSource(const std::string& path);

// True when `outputFolder` lies on the device that `sourcePath` names, or on another partition
// of the same disk: writing there would overwrite what is being recovered. An image file as
// source is never such a case.
bool OutputOnSourceDevice(const std::string& sourcePath, const std::filesystem::path& outputFolder);

// Empty when files can be created in `folder`, else the system's text for why not.
std::string FolderWriteProblem(const std::filesystem::path& folder);

}  // namespace korvid::sources
