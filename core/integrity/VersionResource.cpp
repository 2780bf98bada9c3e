#include "core/integrity/VersionResource.h"

#include <utility>

#include "core/text/LittleEndian.h"
#include "core/text/NumberText.h"

namespace {

constexpr std::size_t kHeaderBytes = 6;
constexpr std::size_t kFixedInfoBytes = 52;
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr int kMaxDepth = 8;  // a real resource is four levels deep

struct Node {
  std::u16string key;
  std::uint16_t type = 0;
  std::vector<std::uint8_t> value;
  std::vector<Node> children;
};

constexpr std::size_t Aligned(std::size_t offset) {
  return (offset + 3) & ~std::size_t{3};
}

// Parses the node at `offset` of `data` (which ends at `end`), its children up to its
// length. Offsets count from the resource's start, where the alignment is reckoned.
bool ParseNode(const std::uint8_t* data,
               std::size_t offset,
               std::size_t end,
               int depth,
               Node* node) {
  if (depth > kMaxDepth || offset + kHeaderBytes > end)
    return false;
  const std::size_t length = U16(data + offset);
  const std::size_t valueLength = U16(data + offset + 2);
  node->type = U16(data + offset + 4);
  if (length < kHeaderBytes || length > end - offset || node->type > 1)
    return false;
  const std::size_t nodeEnd = offset + length;
  std::size_t at = offset + kHeaderBytes;
  for (;; at += 2) {
    if (at + 2 > nodeEnd)
      return false;
    const char16_t unit = U16(data + at);
    if (unit == 0)
      break;
    node->key += unit;
  }
  at = Aligned(at + 2);
  // A text's length counts UTF-16 units, though some compilers count bytes: a text runs
  // to the node's end when it has no children, and no further than its NUL otherwise.
  std::size_t valueBytes = node->type == 1 ? valueLength * 2 : valueLength;
  if (at > nodeEnd || valueBytes > nodeEnd - at) {
    if (node->type != 1)
      return false;
    valueBytes = at > nodeEnd ? 0 : nodeEnd - at;
  }
  node->value.assign(data + at, data + at + valueBytes);
  for (at = Aligned(at + valueBytes); at < nodeEnd; at = Aligned(at)) {
    Node child;
    if (!ParseNode(data, at, nodeEnd, depth + 1, &child))
      return false;
    at += U16(data + at);
    node->children.push_back(std::move(child));
  }
  return true;
}

void Pad(std::vector<std::uint8_t>* out) {
  out->resize(Aligned(out->size()), 0);
}

// False when the node would be longer than its 16-bit length can say.
bool WriteNode(const Node& node, std::vector<std::uint8_t>* out) {
  Pad(out);
  const std::size_t start = out->size();
  out->resize(start + kHeaderBytes);
  for (const char16_t unit : node.key) {
    out->push_back(static_cast<std::uint8_t>(unit));
    out->push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  out->push_back(0);
  out->push_back(0);
  Pad(out);
  out->insert(out->end(), node.value.begin(), node.value.end());
  for (const Node& child : node.children) {
    if (!WriteNode(child, out))
      return false;
  }
  if (out->size() - start > 0xffffu)
    return false;
  std::uint8_t* header = out->data() + start;
  Put16(header, static_cast<std::uint32_t>(out->size() - start));
  Put16(header + 2,
        static_cast<std::uint32_t>(node.type == 1 ? node.value.size() / 2 : node.value.size()));
  Put16(header + 4, node.type);
  return true;
}

bool ParseRoot(const std::uint8_t* data, std::size_t size, Node* root) {
  return ParseNode(data, 0, size, 0, root) && root->key == u"VS_VERSION_INFO" &&
         root->value.size() >= kFixedInfoBytes && U32(root->value.data()) == kFixedInfoSignature;
}

std::vector<std::uint8_t> Text(std::u16string_view text) {
  std::vector<std::uint8_t> bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

std::u16string TextOf(const std::vector<std::uint8_t>& value) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
    const char16_t unit = U16(value.data() + i);
    if (unit == 0)
      break;
    text += unit;
  }
  return text;
}

// Every string table's texts under the root ("StringFileInfo", then the tables).
template <typename Visit>
void ForEachString(Node& root, Visit visit) {
  for (Node& block : root.children) {
    if (block.key != u"StringFileInfo")
      continue;
    for (Node& table : block.children) {
      for (Node& string : table.children)
        visit(string);
    }
  }
}

}  // namespace

bool ParseReleaseVersion(std::string_view text, ReleaseVersion* version) {
  ReleaseVersion parsed;
  std::size_t count = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('.', start);
    if (end == std::string_view::npos)
      end = text.size();
    if (count == 4 || !ParseDecimal(text.substr(start, end - start), 5, &parsed.parts[count]))
      return false;
    ++count;
    start = end + 1;
  }
  if (count < 3)
    return false;
  parsed.text.assign(text.begin(), text.end());
  *version = std::move(parsed);
  return true;
}

bool ReadVersionResource(const std::uint8_t* data, std::size_t size, ReleaseVersion* version) {
  Node root;
  if (!ParseRoot(data, size, &root))
    return false;
  const Node* product = nullptr;
  ForEachString(root, [&](Node& string) {
    if (!product && string.key == u"ProductVersion" && string.type == 1)
      product = &string;
  });
  if (!product)
    return false;
  const std::uint8_t* fixed = root.value.data();
  version->parts[0] = static_cast<std::uint16_t>(U32(fixed + 16) >> 16);
  version->parts[1] = static_cast<std::uint16_t>(U32(fixed + 16));
  version->parts[2] = static_cast<std::uint16_t>(U32(fixed + 20) >> 16);
  version->parts[3] = static_cast<std::uint16_t>(U32(fixed + 20));
  version->text = TextOf(product->value);
  return true;
}

bool SetVersionResource(const std::vector<std::uint8_t>& resource,
                        const ReleaseVersion& version,
                        std::vector<std::uint8_t>* out) {
  out->clear();
  Node root;
  if (!ParseRoot(resource.data(), resource.size(), &root))
    return false;
  const std::uint32_t high = static_cast<std::uint32_t>(version.parts[0]) << 16 | version.parts[1];
  const std::uint32_t low = static_cast<std::uint32_t>(version.parts[2]) << 16 | version.parts[3];
  for (const std::size_t at : {std::size_t{8}, std::size_t{16}}) {
    Put32(root.value.data() + at, high);
    Put32(root.value.data() + at + 4, low);
  }
  ForEachString(root, [&](Node& string) {
    if (string.key == u"FileVersion" || string.key == u"ProductVersion") {
      string.type = 1;
      string.value = Text(version.text);
    }
  });
  if (!WriteNode(root, out)) {
    out->clear();
    return false;
  }
  return true;
}
