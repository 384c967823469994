#pragma once
// The written form of a value tree, byte for byte what the JSON library's own
// dump(indent, ' ', false, replace) gives. The library decodes every string
// character by character on the way out; the documents handed to the cores
// are almost all plain ASCII, which is copied here as it stands, so that
// writing no longer takes as long as building the tree.
#include <string>

#include <nlohmann/json.hpp>

namespace ombrel {

// `indent` below zero: the compact form; otherwise one value per line,
// nested `indent` spaces deeper per level. Cannot fail: text that is not
// UTF-8 is written with replacement characters.
std::string json_text(const nlohmann::json& value, int indent);

}  // namespace ombrel
