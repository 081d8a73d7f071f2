// A tiny protocol buffer writer for building ONNX messages in tests, plus
// builders for the few ONNX messages the tests need.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace test_proto {

class message {
public:
    message& varint(uint32_t field, uint64_t value) {
        tag(field, 0);
        raw_varint(value);
        return *this;
    }
    message& bytes(uint32_t field, std::string_view value) {
        tag(field, 2);
        raw_varint(value.size());
        data_.append(value);
        return *this;
    }
    message& nested(uint32_t field, const message& inner) { return bytes(field, inner.data_); }
    message& fixed32(uint32_t field, uint32_t value) {
        tag(field, 5);
        for (int i = 0; i < 4; ++i) data_.push_back(static_cast<char>(value >> (8 * i)));
        return *this;
    }
    message& fixed64(uint32_t field, uint64_t value) {
        tag(field, 1);
        for (int i = 0; i < 8; ++i) data_.push_back(static_cast<char>(value >> (8 * i)));
        return *this;
    }
    message& tag(uint32_t field, uint32_t wire_type) {
        raw_varint((static_cast<uint64_t>(field) << 3) | wire_type);
        return *this;
    }
    message& raw(std::string_view bytes) {
        data_.append(bytes);
        return *this;
    }
    message& raw_varint(uint64_t value) {
        while (value >= 0x80) {
            data_.push_back(static_cast<char>((value & 0x7F) | 0x80));
            value >>= 7;
        }
        data_.push_back(static_cast<char>(value));
        return *this;
    }

    const std::string& str() const { return data_; }

private:
    std::string data_;
};

// A dimension: a fixed size, or a symbolic name when `param` is not empty.
struct dim {
    dim(int64_t fixed) : value(fixed) {}
    dim(int64_t unused, std::string name) : value(unused), param(std::move(name)) {}
    int64_t value;
    std::string param;
};

inline message tensor_type(int32_t element_type, const std::vector<dim>& shape, bool with_shape = true) {
    message tensor;
    tensor.varint(1, static_cast<uint64_t>(static_cast<int64_t>(element_type)));
    if (with_shape) {
        message shape_message;
        for (const dim& d : shape) {
            message dimension;
            if (d.param.empty()) {
                dimension.varint(1, static_cast<uint64_t>(d.value));
            } else {
                dimension.bytes(2, d.param);
            }
            shape_message.nested(1, dimension);
        }
        tensor.nested(2, shape_message);
    }
    return message().nested(1, tensor);
}

inline message value_info(std::string_view name, const message& type, std::string_view doc = {}) {
    message info;
    info.bytes(1, name).nested(2, type);
    if (!doc.empty()) info.bytes(3, doc);
    return info;
}

inline message initializer(std::string_view name, bool external = false) {
    message tensor;
    tensor.varint(1, 2).varint(2, 1).bytes(8, name).bytes(9, std::string(8, '\0'));
    if (external) {
        message location;
        location.bytes(1, "location").bytes(2, "weights.bin");
        tensor.nested(13, location).varint(14, 1);
    }
    return tensor;
}

// A float tensor [2] whose data is in `location`; offset and length when
// not empty.
inline message external_tensor(std::string_view name, std::string_view location, std::string_view offset = {},
                               std::string_view length = {}) {
    message tensor;
    tensor.varint(1, 2).varint(2, 1).bytes(8, name);
    const std::pair<std::string_view, std::string_view> entries[] = {
        {"location", location}, {"offset", offset}, {"length", length}};
    for (const auto& [key, value] : entries) {
        if (!value.empty()) tensor.nested(13, message().bytes(1, key).bytes(2, value));
    }
    return tensor.varint(14, 1);
}

// A Constant node of the default domain whose `value` is `tensor`.
inline message constant_node(const message& tensor) {
    message attribute;
    attribute.bytes(1, "value").nested(5, tensor).varint(20, 4);
    message node;
    node.bytes(2, "constant_out").bytes(4, "Constant").nested(5, attribute);
    return node;
}

// An If node whose then_branch is `branch`.
inline message if_node(const message& branch) {
    message attribute;
    attribute.bytes(1, "then_branch").nested(6, branch).varint(20, 5);
    return message().bytes(4, "If").nested(5, attribute);
}

inline message metadata_entry(std::string_view key, std::string_view value) {
    return message().bytes(1, key).bytes(2, value);
}

// A model with one float input "x" [1, 3] and one float output "y" [1, 3]
// through an Identity node, and a little metadata.
inline message simple_graph() {
    message node;
    node.bytes(1, "x").bytes(2, "y").bytes(4, "Identity");
    message graph;
    graph.nested(1, node)
        .bytes(2, "simple")
        .nested(11, value_info("x", tensor_type(1, {{1}, {3}}), "the input"))
        .nested(12, value_info("y", tensor_type(1, {{1}, {3}})));
    return graph;
}

inline message model_with(const message& graph) {
    message opset;
    opset.bytes(1, "").varint(2, 13);
    message model;
    model.varint(1, 8)
        .bytes(2, "test-producer")
        .bytes(3, "1.0")
        .bytes(4, "ai.test")
        .varint(5, 42)
        .bytes(6, "a model for tests")
        .nested(8, opset)
        .nested(7, graph)
        .nested(14, metadata_entry("license", "none"));
    return model;
}

inline std::string simple_model() { return model_with(simple_graph()).str(); }

}  // namespace test_proto
