#include "core/integrity/ResourceSection.h"

#include <algorithm>
#include <map>

#include "core/integrity/InstallerDigest.h"
#include "core/integrity/PeLayout.h"
#include "core/text/AsciiCase.h"
#include "core/text/LittleEndian.h"

namespace {

constexpr std::uint32_t kDataAlignment = 8;
// A directory with more entries than this, in all, is garbage: the installer has about 20.
constexpr std::size_t kMaxEntries = 65536;
constexpr unsigned kResourceDirectory = 2;
constexpr unsigned kCertificateDirectory = 4;
constexpr unsigned kRelocationDirectory = 5;
constexpr std::uint32_t kInitializedData = 0x40;  // section characteristics

std::uint64_t AlignUp(std::uint64_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Directory order: named entries first, by their upper-case units (the loader upper-cases
// the name it looks for and searches the named entries in halves), then ids ascending.
bool Before(const ResourceName& a, const ResourceName& b) {
  if (a.text.empty() != b.text.empty())
    return !a.text.empty();
  if (a.text.empty())
    return a.id < b.id;
  return std::lexicographical_compare(
      a.text.begin(), a.text.end(), b.text.begin(), b.text.end(),
      [](char16_t x, char16_t y) { return AsciiUpper(x) < AsciiUpper(y); });
}
bool SameName(const ResourceName& a, const ResourceName& b) {
  return !Before(a, b) && !Before(b, a);
}

class TreeReader {
 public:
  explicit TreeReader(const PeImage& image)
      : image_(image), root_(image.DataDirectory(kResourceDirectory).position) {}

  PeStatus Read(std::vector<Resource>* out) {
    std::vector<Entry> types, names, languages;
    if (!Entries(0, &types))
      return PeStatus::kBadResourceDirectory;
    for (const Entry& type : types) {
      Resource r;
      if (!(type.data & kPeHighBit) || !Name(type.name, &r.type) ||
          !Entries(type.data & ~kPeHighBit, &names)) {
        return PeStatus::kBadResourceDirectory;
      }
      for (const Entry& name : names) {
        if (!(name.data & kPeHighBit) || !Name(name.name, &r.name) ||
            !Entries(name.data & ~kPeHighBit, &languages)) {
          return PeStatus::kBadResourceDirectory;
        }
        for (const Entry& language : languages) {
          if ((language.data & kPeHighBit) || (language.name & kPeHighBit))
            return PeStatus::kBadResourceDirectory;
          r.language = language.name;
          const PeStatus status = Data(language.data, &r);
          if (status != PeStatus::kOk)
            return status;
          out->push_back(r);
        }
      }
    }
    return PeStatus::kOk;
  }

 private:
  struct Entry {
    std::uint32_t name;
    std::uint32_t data;
  };

  // The file position of `length` bytes at `offset` from the root.
  bool At(std::uint64_t offset, std::uint64_t length, std::uint32_t* position) const {
    const std::uint64_t rva = std::uint64_t{root_} + offset;
    return rva <= 0xffffffffu && length <= 0xffffffffu &&
           image_.RvaToPosition(static_cast<std::uint32_t>(rva), static_cast<std::uint32_t>(length),
                                position);
  }

  bool Entries(std::uint32_t directory, std::vector<Entry>* entries) {
    entries->clear();
    std::uint32_t at;
    if (!At(directory, kPeDirectoryBytes, &at))
      return false;
    const std::uint32_t count =
        std::uint32_t{U16(image_.Data() + at + 12)} + U16(image_.Data() + at + 14);
    entriesRead_ += count;
    if (entriesRead_ > kMaxEntries)
      return false;
    // A table without entries may end where the section does: there is nothing to find.
    if (count == 0)
      return true;
    if (!At(std::uint64_t{directory} + kPeDirectoryBytes, std::uint64_t{count} * kPeEntryBytes,
            &at)) {
      return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* e = image_.Data() + at + i * kPeEntryBytes;
      entries->push_back({U32(e), U32(e + 4)});
    }
    return true;
  }

  bool Name(std::uint32_t field, ResourceName* name) const {
    *name = ResourceName{};
    if (!(field & kPeHighBit)) {
      name->id = field;
      return true;
    }
    const std::uint32_t offset = field & ~kPeHighBit;
    std::uint32_t at;
    if (!At(offset, 2, &at))
      return false;
    const std::uint16_t length = U16(image_.Data() + at);
    if (length == 0 || !At(std::uint64_t{offset} + 2, 2u * length, &at))
      return false;
    for (std::uint32_t i = 0; i < length; ++i)
      name->text += static_cast<char16_t>(U16(image_.Data() + at + 2 * i));
    return true;
  }

  PeStatus Data(std::uint32_t offset, Resource* r) {
    std::uint32_t at;
    if (!At(offset, kPeDataEntryBytes, &at))
      return PeStatus::kBadResourceDirectory;
    const std::uint32_t rva = U32(image_.Data() + at);
    const std::uint32_t size = U32(image_.Data() + at + 4);
    r->codePage = U32(image_.Data() + at + 8);
    // An empty datum has no bytes to find: it may lie where the section ends.
    r->data.clear();
    if (size == 0)
      return PeStatus::kOk;
    std::uint32_t position;
    if (!image_.RvaToPosition(rva, size, &position))
      return PeStatus::kDataOutsideFile;
    dataBytes_ += size;
    if (dataBytes_ > kInstallerSizeLimit)
      return PeStatus::kFileTooLarge;
    r->data.assign(image_.Data() + position, image_.Data() + position + size);
    return PeStatus::kOk;
  }

  const PeImage& image_;
  std::uint32_t root_;
  std::size_t entriesRead_ = 0;
  std::uint64_t dataBytes_ = 0;
};

// The section's bytes for `resources`, sorted, at address `rva`.
std::vector<std::uint8_t> LayOut(std::vector<const Resource*> sorted, std::uint32_t rva) {
  std::stable_sort(sorted.begin(), sorted.end(), [](const Resource* a, const Resource* b) {
    if (!SameName(a->type, b->type))
      return Before(a->type, b->type);
    if (!SameName(a->name, b->name))
      return Before(a->name, b->name);
    return a->language < b->language;
  });
  // The directories, breadth first: the root, one per type, one per (type, name).
  struct Directory {
    std::vector<std::size_t> first;  // for each entry, its first resource in `sorted`
    std::uint32_t offset = 0;
  };
  Directory root;
  std::vector<Directory> types, names;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const bool newType = i == 0 || !SameName(sorted[i]->type, sorted[i - 1]->type);
    const bool newName = newType || !SameName(sorted[i]->name, sorted[i - 1]->name);
    if (newType) {
      root.first.push_back(i);
      types.emplace_back();
    }
    if (newName) {
      types.back().first.push_back(i);
      names.emplace_back();
    }
    names.back().first.push_back(i);
  }
  std::uint32_t end =
      kPeDirectoryBytes + kPeEntryBytes * static_cast<std::uint32_t>(root.first.size());
  for (std::vector<Directory>* level : {&types, &names}) {
    for (Directory& d : *level) {
      d.offset = end;
      end += kPeDirectoryBytes + kPeEntryBytes * static_cast<std::uint32_t>(d.first.size());
    }
  }
  const std::uint32_t dataEntries = end;
  end += kPeDataEntryBytes * static_cast<std::uint32_t>(sorted.size());
  std::map<std::u16string, std::uint32_t> nameOffsets;
  std::vector<const std::u16string*> nameOrder;
  for (const Resource* r : sorted) {
    for (const ResourceName* n : {&r->type, &r->name}) {
      if (!n->text.empty() && nameOffsets.emplace(n->text, end).second) {
        nameOrder.push_back(&n->text);
        end += 2 + 2 * static_cast<std::uint32_t>(n->text.size());
      }
    }
  }
  std::vector<std::uint32_t> dataOffsets;
  for (const Resource* r : sorted) {
    end = static_cast<std::uint32_t>(AlignUp(end, kDataAlignment));
    dataOffsets.push_back(end);
    end += static_cast<std::uint32_t>(r->data.size());
  }

  std::vector<std::uint8_t> s(end, 0);
  auto nameField = [&](const ResourceName& n) {
    return n.text.empty() ? n.id : kPeHighBit | nameOffsets[n.text];
  };
  auto writeDirectory = [&](const Directory& d, auto entryOf) {
    std::uint32_t named = 0;
    for (std::size_t k = 0; k < d.first.size(); ++k) {
      const auto [name, data] = entryOf(k);
      named += (name & kPeHighBit) ? 1u : 0u;
      std::uint8_t* e = s.data() + d.offset + kPeDirectoryBytes + kPeEntryBytes * k;
      Put32(e, name);
      Put32(e + 4, data);
    }
    Put16(s.data() + d.offset + 12, named);
    Put16(s.data() + d.offset + 14, static_cast<std::uint32_t>(d.first.size()) - named);
  };
  using Pair = std::pair<std::uint32_t, std::uint32_t>;
  std::size_t nameIndex = 0;
  writeDirectory(root, [&](std::size_t k) {
    return Pair{nameField(sorted[root.first[k]]->type), kPeHighBit | types[k].offset};
  });
  for (const Directory& t : types) {
    writeDirectory(t, [&](std::size_t k) {
      return Pair{nameField(sorted[t.first[k]]->name), kPeHighBit | names[nameIndex + k].offset};
    });
    nameIndex += t.first.size();
  }
  for (const Directory& n : names) {
    writeDirectory(n, [&](std::size_t k) {
      return Pair{sorted[n.first[k]]->language,
                  dataEntries + kPeDataEntryBytes * static_cast<std::uint32_t>(n.first[k])};
    });
  }
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    std::uint8_t* e = s.data() + dataEntries + kPeDataEntryBytes * i;
    Put32(e, rva + dataOffsets[i]);
    Put32(e + 4, static_cast<std::uint32_t>(sorted[i]->data.size()));
    Put32(e + 8, sorted[i]->codePage);
    std::copy(sorted[i]->data.begin(), sorted[i]->data.end(), s.data() + dataOffsets[i]);
  }
  for (const std::u16string* text : nameOrder) {
    std::uint8_t* p = s.data() + nameOffsets[*text];
    Put16(p, static_cast<std::uint32_t>(text->size()));
    for (std::size_t i = 0; i < text->size(); ++i)
      Put16(p + 2 + 2 * i, (*text)[i]);
  }
  return s;
}

}  // namespace

PeStatus ReadResources(const PeImage& image, std::vector<Resource>* resources) {
  resources->clear();
  if (image.DataDirectory(kResourceDirectory).position == 0)
    return PeStatus::kOk;
  const PeStatus status = TreeReader(image).Read(resources);
  if (status != PeStatus::kOk)
    resources->clear();
  return status;
}

void SetResource(std::vector<Resource>* resources, Resource resource) {
  for (Resource& r : *resources) {
    if (SameName(r.type, resource.type) && SameName(r.name, resource.name) &&
        r.language == resource.language) {
      r = std::move(resource);
      return;
    }
  }
  resources->push_back(std::move(resource));
}

PeStatus WriteResourceSection(const PeImage& image,
                              const std::vector<Resource>& resources,
                              std::vector<std::uint8_t>* out) {
  out->clear();
  const std::uint8_t* data = image.Data();
  const FileRange certificates = image.DataDirectory(kCertificateDirectory);
  if (certificates.position != 0 || certificates.size != 0)
    return PeStatus::kSigned;
  if (image.Size() > image.EndOfSections())
    return PeStatus::kAppendedData;
  const std::uint32_t optional = image.ChecksumPosition() - 64;
  const std::uint32_t sectionAlignment = U32(data + optional + 32);
  const std::uint32_t fileAlignment = U32(data + optional + 36);
  if (sectionAlignment == 0 || fileAlignment == 0)
    return PeStatus::kNotPe;

  // The resource section: it starts with the directory and ends on file-alignment units.
  const std::uint32_t rva = image.DataDirectory(kResourceDirectory).position;
  const std::vector<PeSection>& sections = image.Sections();
  std::size_t index = sections.size();
  for (std::size_t i = 0; i < sections.size(); ++i) {
    if (rva != 0 && sections[i].virtualAddress == rva)
      index = i;
  }
  if (index == sections.size())
    return PeStatus::kResourcesNotAlone;
  const PeSection resource = sections[index];
  const std::uint32_t rawEnd = resource.rawPosition + resource.rawSize;
  // The headers, section table included, lie before it: they are copied, then changed.
  const std::uint32_t table = optional + U16(data + optional - 4);  // + optional header size
  if (resource.rawPosition < table + sections.size() * kPeSectionBytes || resource.rawSize == 0 ||
      resource.rawPosition % fileAlignment != 0 || resource.rawSize % fileAlignment != 0 ||
      std::uint64_t{resource.rawPosition} + resource.rawSize > image.Size()) {
    return PeStatus::kResourcesNotAlone;
  }
  const std::uint32_t oldVirtual = resource.virtualSize ? resource.virtualSize : resource.rawSize;
  const std::uint64_t virtualEnd = AlignUp(std::uint64_t{rva} + oldVirtual, sectionAlignment);
  // The sections before it end before it, in memory and in the file; after it come base
  // relocations or nothing.
  const FileRange relocations = image.DataDirectory(kRelocationDirectory);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const PeSection& s = sections[i];
    const std::uint64_t end = std::uint64_t{s.virtualAddress} + std::max(s.virtualSize, s.rawSize);
    const bool fits =
        i == index ||
        (s.virtualAddress > rva
             ? s.virtualAddress == relocations.position && s.virtualAddress >= virtualEnd &&
                   (s.rawSize == 0 || s.rawPosition >= rawEnd)
             : end <= rva && (s.rawSize == 0 ||
                              std::uint64_t{s.rawPosition} + s.rawSize <= resource.rawPosition));
    if (!fits)
      return PeStatus::kResourcesNotAlone;
  }
  for (unsigned d = 0; d < 16; ++d) {
    const FileRange entry = image.DataDirectory(d);
    if (d != kResourceDirectory && d != kCertificateDirectory && d != kRelocationDirectory &&
        entry.position >= rva && (entry.position != 0 || entry.size != 0)) {
      return PeStatus::kResourcesNotAlone;
    }
  }
  // No relocation applies at or after the resources, which would move.
  if (relocations.position > rva) {
    std::uint32_t at;
    if (!image.RvaToPosition(relocations.position, relocations.size, &at))
      return PeStatus::kResourcesNotAlone;
    for (std::uint64_t done = 0; done + 8 <= relocations.size;) {
      const std::uint32_t page = U32(data + at + done);
      const std::uint32_t blockSize = U32(data + at + done + 4);
      if (page >= rva || blockSize < 8)
        return PeStatus::kResourcesNotAlone;
      done += blockSize;
    }
  }

  std::vector<const Resource*> list;
  for (const Resource& r : resources)
    list.push_back(&r);
  std::uint64_t total = 0;
  for (const Resource& r : resources)
    total += r.data.size() + kDataAlignment;
  if (total >= kInstallerSizeLimit)
    return PeStatus::kFileTooLarge;
  const std::vector<std::uint8_t> section = LayOut(std::move(list), rva);
  const auto contentSize = static_cast<std::uint32_t>(section.size());
  const auto rawSize = static_cast<std::uint32_t>(AlignUp(contentSize, fileAlignment));
  const std::uint64_t newSize = std::uint64_t{image.Size()} - resource.rawSize + rawSize;
  if (newSize >= kInstallerSizeLimit)
    return PeStatus::kFileTooLarge;
  if (AlignUp(std::uint64_t{rva} + contentSize, sectionAlignment) > 0xffffffffu)
    return PeStatus::kResourcesNotAlone;
  // Unsigned arithmetic modulo 2^32: the deltas may be negative.
  const auto virtualDelta = static_cast<std::uint32_t>(
      AlignUp(std::uint64_t{rva} + contentSize, sectionAlignment) - virtualEnd);
  const std::uint32_t rawDelta = rawSize - resource.rawSize;

  out->reserve(static_cast<std::size_t>(newSize));
  out->assign(data, data + resource.rawPosition);
  out->insert(out->end(), section.begin(), section.end());
  out->resize(resource.rawPosition + std::size_t{rawSize}, 0);
  out->insert(out->end(), data + rawEnd, data + image.Size());

  std::uint8_t* o = out->data();
  for (std::size_t i = 0; i < sections.size(); ++i) {
    std::uint8_t* s = o + table + i * kPeSectionBytes;
    if (i == index) {
      Put32(s + 8, contentSize);
      Put32(s + 16, rawSize);
      if (U32(s + 36) & kInitializedData)
        Put32(o + optional + 8, U32(o + optional + 8) + rawDelta);
    } else if (sections[i].virtualAddress > rva) {
      Put32(s + 12, sections[i].virtualAddress + virtualDelta);
      if (sections[i].rawSize != 0)
        Put32(s + 20, sections[i].rawPosition + rawDelta);
    }
  }
  Put32(o + image.DataDirectoryPosition(kResourceDirectory) + 4, contentSize);
  if (relocations.position > rva) {
    const std::uint32_t at = image.DataDirectoryPosition(kRelocationDirectory);
    Put32(o + at, relocations.position + virtualDelta);
  }
  Put32(o + optional + 56, U32(o + optional + 56) + virtualDelta);  // SizeOfImage
  Put32(o + image.ChecksumPosition(), 0);
  return PeStatus::kOk;
}
