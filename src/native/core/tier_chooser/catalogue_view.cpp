#include "catalogue_view.hpp"

#include "mapping.hpp"
#include "text.hpp"
#include "watch.hpp"

#include <array>

namespace zorvik::core {

namespace {

struct Cache {
    CatalogueView view;
    Ref anthropic_prefix{py::text(msg::anthropic_prefix)};
    Ref openai_prefix{py::text(msg::openai_prefix)};
};
py::Static<Cache> cache;

constexpr PyObject* Names::*listing_names[listing_size] = {
    &Names::key,
    &Names::id,
    &Names::provider,
    &Names::display_name,
    &Names::description,
    &Names::complexity_tier,
    &Names::enabled,
    &Names::available,
    &Names::cost_per_1k_input,
    &Names::cost_per_1k_output,
    &Names::calls,
    &Names::tokens,
};

// The value of `field` in a catalogue entry's instance dict; null when it is not there.
Ref field_of(Borrowed dict, SpecField field) {
    PyObject* value = nullptr;
    py::check(PyDict_GetItemRef(dict.get(), spec_fields().name(field), &value));
    return py::steal(value);
}

// Exact texts compare without running code, so for them the key an id
// belongs to is found once here rather than at each availability test.
void link_equal_ids(std::vector<CatalogueEntry>& entries) {
    for (const CatalogueEntry& e : entries)
        if (!PyUnicode_CheckExact(e.id.get())) return;
    for (CatalogueEntry& e : entries)
        for (const CatalogueEntry& first : entries)
            if (first.id.is(e.id) || PyUnicode_Equal(first.id.get(), e.id.get()) == 1) {
                e.id_key = first.key;
                break;
            }
}

}  // namespace

bool CatalogueSnapshot::valid() const noexcept {
    if (generation_ != watch::generation()) return false;
    for (const CatalogueEntry& e : entries_)
        if (Py_TYPE(e.spec.get()) != e.type || e.type->tp_version_tag != e.version) return false;
    return true;
}

const CatalogueEntry* CatalogueSnapshot::entry_of(Borrowed spec) const noexcept {
    for (const CatalogueEntry& e : entries_)
        if (e.spec.is(spec)) return &e;
    return nullptr;
}

std::shared_ptr<const CatalogueSnapshot> CatalogueView::of(Borrowed models) {
    if (current_ && current_->mapping().is(models) && current_->valid()) return current_;
    return build(models);
}

std::shared_ptr<const CatalogueSnapshot> CatalogueView::last() const {
    return current_ && current_->valid() ? current_ : nullptr;
}

std::shared_ptr<const CatalogueSnapshot> CatalogueView::build(Borrowed models) {
    current_.reset();
    if (!watch::enabled() || !PyDict_CheckExact(models.get())) return nullptr;
    auto snapshot = std::make_shared<CatalogueSnapshot>();
    snapshot->mapping_ = py::borrow(models);
    // Each dict is watched before it is read, so a change made meanwhile (by
    // a finaliser the collector runs during an allocation, say) advances the
    // counter past `start` and the snapshot is dropped.
    auto watched = [&](Ref dict) {
        watch::add(dict);
        snapshot->watched_.push_back(std::move(dict));
    };
    auto give_up = [] { return nullptr; };
    watched(py::borrow(models));
    const std::uint64_t start = watch::generation();
    const Module& g = mod();
    Py_ssize_t pos = 0;
    PyObject *raw_key, *raw_spec;
    while (PyDict_Next(models.get(), &pos, &raw_key, &raw_spec)) {
        Ref key = py::borrow(raw_key), spec = py::borrow(raw_spec);
        Ref dict = spec_fields().plain_dict(spec);
        if (!dict) return give_up();
        watched(dict);
        std::array<Ref, std::size_t{spec_cost_per_1k_output} + 1> f;
        for (std::size_t i = 0; i < f.size(); ++i) {
            f[i] = field_of(dict, static_cast<SpecField>(i));
            if (!f[i]) return give_up();
        }
        Borrowed tier = f[spec_complexity_tier];
        if (!tier.is(g.simple) && !tier.is(g.moderate) && !tier.is(g.complex_)) return give_up();
        CatalogueEntry& e = snapshot->entries_.emplace_back();
        e.key = key;
        e.spec = spec;
        e.id = f[spec_id];
        e.provider = f[spec_provider];
        e.type = Py_TYPE(spec.get());
        e.version = e.type->tp_version_tag;
        if (PyUnicode_CheckExact(f[spec_provider].get()) && PyUnicode_CheckExact(f[spec_id].get()))
            e.model_string = model_string(f[spec_provider], f[spec_id]);
        Ref tier_text = tier_value(tier);
        const std::array<Borrowed, listing_size> values = {
            key,       f[spec_id], f[spec_provider], f[spec_display_name],      f[spec_description],
            tier_text, Py_None,    Py_None,          f[spec_cost_per_1k_input], f[spec_cost_per_1k_output],
            Py_None,   Py_None,
        };
        e.listing = py::steal_or_throw(_PyDict_NewPresized(listing_size));
        for (std::size_t i = 0; i < listing_size; ++i)
            py::check(PyDict_SetItem(e.listing.get(), listing_name(static_cast<ListingKey>(i)), values[i].get()));
    }
    link_equal_ids(snapshot->entries_);
    if (watch::generation() != start) return give_up();
    snapshot->generation_ = start;
    current_ = std::move(snapshot);
    return current_;
}

CatalogueView& catalogue_view() {
    if (!cache) cache.emplace();
    return cache->view;
}

PyObject* listing_name(ListingKey key) { return names().*listing_names[key]; }

Ref model_string(Borrowed provider, Borrowed id) {
    const Names& n = names();
    if (!cache) cache.emplace();
    const Ref* prefix = equals(provider, n.anthropic) ? &cache->anthropic_prefix
                        : equals(provider, n.openai)  ? &cache->openai_prefix
                                                      : nullptr;
    if (!prefix) return py::borrow(id);
    return concat({{prefix->get()}, {format_text(id).get()}});
}

}  // namespace zorvik::core
