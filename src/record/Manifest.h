// A manifest pins a release: a JSON document that names each region's image file and its
// SHA-256, so a line programs exactly the files that were released, or nothing.
//
//   {"schema": 1, "name": "release-4.2",
//    "images": [{"region": "voice", "file": "voice.adm", "sha256": "9f86d0..."}, ...]}
//
// Files are named relative to the manifest's folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "record/Bundle.h"

namespace orlo::record {

// The layout the manifests of this version are written in, and the only one read.
constexpr int kManifestSchema = 1;

struct ManifestLoad {
    std::optional<Bundle> bundle;  // the images in programming order, each with its SHA-256
    std::string error;             // otherwise the sentence why the manifest is refused
};

// Reads the manifest at `path` and every file it names. Refused, with one sentence: a document
// that cannot be read or is not a manifest of schema 1, a region that is not known or is named
// twice, a file that is missing, not a regular file, or whose SHA-256 differs from the pinned
// one. Nothing about a device is looked at, so this runs before any port opens.
ManifestLoad LoadManifest(const std::string& path);

// The manifest document of `bundle` as it is written to `path`: the images in programming
// order, their files relative to the folder of `path`. Every image must carry its SHA-256.
// nullopt, with the sentence why in `error`, when a file cannot be named relative to it.
std::optional<std::string> ManifestDocument(const Bundle& bundle, const std::string& name,
                                            const std::string& path, std::string* error);

// Hashes the images of `bundle` and writes its manifest to `path` (through a file beside it
// that replaces `path` once complete). Empty on success, else the sentence why not.
std::string WriteManifest(Bundle bundle, const std::string& name, const std::string& path);

}  // namespace orlo::record
