// IMapView from strings to strings or to interface pointers, over entries that
// never change after construction. Lookup of an absent key answers E_BOUNDS.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "com/boundary.h"
#include "com/vector_view.h"

namespace runtime {

template <class V>
struct map_value_traits;

template <>
struct map_value_traits<HSTRING> {
    using stored = std::u16string;
    static HRESULT hand(const stored& value, HSTRING* out) { return hand_out_string(value, out); }
};

template <>
struct map_value_traits<IUnknown*> {
    using stored = com_ptr<IUnknown>;
    static HRESULT hand(const stored& value, IUnknown** out) { return hand_out(value, out); }
};

template <class V>
class map_view final : public com_object<map_view<V>, IMapView<HSTRING, V>, IAgileObject> {
public:
    using stored = typename map_value_traits<V>::stored;
    using entry = std::pair<std::u16string, stored>;

    // Entries in the order the map iterates them; a later duplicate key is
    // ignored by Lookup (the first wins).
    explicit map_view(std::vector<entry> entries) : entries_(std::move(entries)) {}

    HRESULT Lookup(HSTRING key, V* value) override {
        if (value == nullptr) return null_out_parameter();
        *value = nullptr;
        const entry* found = find(hstring_view(key));
        if (found == nullptr) return fail(E_BOUNDS, "no entry with that key");
        return map_value_traits<V>::hand(found->second, value);
    }
    HRESULT get_Size(uint32_t* size) override { return hand_out_value(static_cast<uint32_t>(entries_.size()), size); }
    HRESULT HasKey(HSTRING key, bool* found) override { return hand_out_value(find(hstring_view(key)) != nullptr, found); }
    HRESULT GetKeys(IVectorView<HSTRING>** keys) override {
        if (keys == nullptr) return null_out_parameter();
        *keys = nullptr;
        return at_boundary("out of memory listing a map's keys", "listing a map's keys failed unexpectedly", [&] {
            std::vector<std::u16string> names;
            names.reserve(entries_.size());
            for (const entry& e : entries_) names.push_back(e.first);
            *keys = made_as<IVectorView<HSTRING>>(vector_view<HSTRING>::make(std::move(names))).detach();
            return S_OK;
        });
    }

private:
    const entry* find(std::u16string_view key) const {
        for (const entry& e : entries_) {
            if (e.first == key) return &e;
        }
        return nullptr;
    }

    std::vector<entry> entries_;
};

}  // namespace runtime
