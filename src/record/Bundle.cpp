#include "record/Bundle.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "record/Sha256.h"

namespace orlo::record {

std::string OrderBundle(std::vector<BundleImage>& images) {
    for (std::size_t i = 0; i < images.size(); ++i)
        for (std::size_t j = i + 1; j < images.size(); ++j)
            if (images[i].region == images[j].region)
                return "region " + std::string(Region(images[i].region).word) +
                       " is given twice (" + images[i].path + " and " + images[j].path +
                       "): a run programs each region once";
    // The regions lie in the flash in programming order, so their base addresses sort them.
    std::stable_sort(images.begin(), images.end(), [](const BundleImage& a, const BundleImage& b) {
        return Region(a.region).base < Region(b.region).base;
    });
    return {};
}

std::optional<Bundle> BundleFromPairs(const std::vector<std::string>& words, std::string* error) {
    Bundle bundle;
    if (words.empty() || words.size() % 2 != 0) {
        *error = words.empty() ? "name a REGION and its FILE"
                               : "REGION and FILE come in pairs: " + words.back() +
                                     " has no file after it";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < words.size(); i += 2) {
        const auto region = RegionOfWord(words[i]);
        if (!region) {
            *error = words[i] + " is not a region: the regions are voice, map, user and "
                                "application";
            return std::nullopt;
        }
        bundle.images.push_back({*region, words[i + 1], {}});
    }
    *error = OrderBundle(bundle.images);
    if (!error->empty()) return std::nullopt;
    return bundle;
}

std::string HashImages(Bundle& bundle) {
    for (BundleImage& image : bundle.images) {
        if (!image.sha256.empty()) continue;
        const auto digest = FileSha256(image.path);
        if (!digest) return "cannot read " + image.path;
        image.sha256 = *digest;
    }
    return {};
}

}  // namespace orlo::record
