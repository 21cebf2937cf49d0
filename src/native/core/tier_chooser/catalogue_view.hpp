// A snapshot of the catalogue for the router's hot paths: per entry the
// key, the spec, its id, its model string and its listing entry without the
// four values that change per call.
//
// The catalogue and its specs are plain objects a host may change at any
// time, so a snapshot is used only while it still describes them: the
// catalogue dict and every spec's instance dict are watched (watch.hpp) and
// each spec's class must keep the version it had. Anything unusual (another
// mapping type, a spec whose class customises attribute access, a tier that
// is not a Complexity member) means no snapshot: the callers then take the
// general path.
#pragma once

#include "module.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace zorvik::core {

struct CatalogueEntry {
    Ref key, spec, id, provider;
    Ref id_key;                    // the first key whose spec has an equal id; null unless all ids are exact texts
    Ref listing;                   // the get_available_models() entry, None for the per-call values
    Ref model_string;              // get_litellm_model_string(spec), null when it is not a str
    PyTypeObject* type = nullptr;  // the spec's class and its version
    unsigned version = 0;
};

class CatalogueSnapshot {
public:
    // Still describes the catalogue and specs it was made from.
    bool valid() const noexcept;
    const Ref& mapping() const noexcept { return mapping_; }
    const std::vector<CatalogueEntry>& entries() const noexcept { return entries_; }
    // The entry of a spec object of the snapshot, or null.
    const CatalogueEntry* entry_of(Borrowed spec) const noexcept;

private:
    friend class CatalogueView;
    Ref mapping_;
    std::uint64_t generation_ = 0;
    std::vector<CatalogueEntry> entries_;
    std::vector<Ref> watched_;
};

class CatalogueView {
public:
    // A valid snapshot of `models` (AVAILABLE_MODELS as bound now), made
    // when needed; null when none can be kept.
    std::shared_ptr<const CatalogueSnapshot> of(Borrowed models);
    // The last snapshot made, if it is still valid (for questions about a
    // spec object alone, whatever AVAILABLE_MODELS is bound to).
    std::shared_ptr<const CatalogueSnapshot> last() const;

private:
    std::shared_ptr<const CatalogueSnapshot> build(Borrowed models);
    std::shared_ptr<const CatalogueSnapshot> current_;
};

CatalogueView& catalogue_view();

// The order of the keys of a get_available_models() entry.
enum ListingKey : std::size_t {
    listing_key,
    listing_id,
    listing_provider,
    listing_display_name,
    listing_description,
    listing_complexity_tier,
    listing_enabled,
    listing_available,
    listing_cost_per_1k_input,
    listing_cost_per_1k_output,
    listing_calls,
    listing_tokens,
    listing_size,
};
PyObject* listing_name(ListingKey key);

// get_litellm_model_string for a provider and an id; null when the result
// would not be a str (the caller reports that).
Ref model_string(Borrowed provider, Borrowed id);

}  // namespace zorvik::core
