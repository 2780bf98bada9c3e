#include "core/package/PayloadPackage.h"

#include <algorithm>
#include <cstring>

#include "core/text/AsciiCase.h"
#include "core/text/LittleEndian.h"

namespace {

char16_t ReadUnit(const std::uint8_t* p) {
  return static_cast<char16_t>(U16(p));
}

// Device names that Windows resolves in every folder, with or without an extension: CON,
// PRN, AUX, NUL, COM0-9 and LPT0-9 (also with the superscript digits 1, 2 and 3, which
// Windows takes for the same ports), and the console's CONIN$ and CONOUT$.
bool IsReservedName(std::u16string_view name) {
  const std::size_t dot = name.find(u'.');
  std::u16string_view stem = name.substr(0, dot);
  while (!stem.empty() && stem.back() == u' ')
    stem.remove_suffix(1);
  char16_t up[7] = {};
  if (stem.size() < 3 || stem.size() > 7)
    return false;
  for (std::size_t i = 0; i < stem.size(); ++i)
    up[i] = AsciiUpper(stem[i]);
  const std::u16string_view s(up, stem.size());
  if (s == u"CON" || s == u"PRN" || s == u"AUX" || s == u"NUL" || s == u"CONIN$" ||
      s == u"CONOUT$") {
    return true;
  }
  if (s.size() == 4 && (s.substr(0, 3) == u"COM" || s.substr(0, 3) == u"LPT")) {
    return (s[3] >= u'0' && s[3] <= u'9') || s[3] == u'\u00B9' || s[3] == u'\u00B2' ||
           s[3] == u'\u00B3';
  }
  return false;
}

PackageFault CheckName(std::u16string_view name) {
  if (name.empty())
    return PackageFault::kEmptyComponent;
  if (name == u"." || name == u"..")
    return PackageFault::kDotComponent;
  for (const char16_t c : name) {
    if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
        c == u'*') {
      return PackageFault::kForbiddenCharacter;
    }
  }
  if (name.back() == u'.' || name.back() == u' ')
    return PackageFault::kTrailingDotOrSpace;
  if (IsReservedName(name))
    return PackageFault::kReservedName;
  return PackageFault::kNone;
}

}  // namespace

const char* DescribePackageFault(PackageFault fault) {
  switch (fault) {
    case PackageFault::kNone:
      return "no fault";
    case PackageFault::kHeaderTruncated:
      return "the record header runs past the end of the package";
    case PackageFault::kPathUnterminated:
      return "the path field has no terminating NUL";
    case PackageFault::kDataTruncated:
      return "the record's data run past the end of the package";
    case PackageFault::kEmptyPath:
      return "the path is empty";
    case PackageFault::kPathTooLong:
      return "the path is too long for the install folder";
    case PackageFault::kAbsolutePath:
      return "the path starts with '\\'";
    case PackageFault::kDrive:
      return "the path names a drive";
    case PackageFault::kForwardSlash:
      return "the path contains '/'";
    case PackageFault::kEmptyComponent:
      return "the path has an empty component";
    case PackageFault::kDotComponent:
      return "the path has a '.' or '..' component";
    case PackageFault::kForbiddenCharacter:
      return "the path has a character Windows forbids in names";
    case PackageFault::kTrailingDotOrSpace:
      return "a name in the path ends with '.' or ' '";
    case PackageFault::kReservedName:
      return "a name in the path is a reserved device name";
  }
  return "unknown fault";
}

bool PayloadPackage::Next(PackageRecord* record) {
  if (position_ >= length_)
    return false;
  const std::size_t start = position_;
  position_ = length_;  // a damaged record ends the walk; a whole one moves it on below
  if (length_ - start < kPackageHeaderBytes)
    return false;
  const std::uint8_t* header = data_ + start;
  std::size_t units = 0;
  while (units < kPackagePathUnits && ReadUnit(header + 2 * units) != 0) {
    record->path[units] = ReadUnit(header + 2 * units);
    ++units;
  }
  if (units == kPackagePathUnits)
    return false;
  const std::uint32_t size = U32(header + kPackageSizeOffset);
  const std::size_t dataOffset = start + kPackageHeaderBytes;
  if (size > length_ - dataOffset)
    return false;
  record->path[units] = 0;
  record->pathLength = units;
  record->data = data_ + dataOffset;
  record->size = size;
  position_ = dataOffset + size;
  return true;
}

PackageFault CheckPathName(std::u16string_view name) {
  if (name.find(u'/') != std::u16string_view::npos)
    return PackageFault::kForwardSlash;
  if (name.find(u'\\') != std::u16string_view::npos)
    return PackageFault::kEmptyComponent;
  return CheckName(name);
}

PackageFault CheckRelativePath(std::u16string_view path, std::size_t maxPathUnits) {
  if (path.empty())
    return PackageFault::kEmptyPath;
  if (path.size() > maxPathUnits)
    return PackageFault::kPathTooLong;
  if (path[0] == u'\\')
    return PackageFault::kAbsolutePath;
  if (path.size() >= 2 && path[1] == u':')
    return PackageFault::kDrive;
  if (path.find(u'/') != std::u16string_view::npos)
    return PackageFault::kForwardSlash;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find(u'\\', start);
    const PackageFault fault = CheckName(path.substr(start, end - start));
    if (fault != PackageFault::kNone)
      return fault;
    if (end == std::u16string_view::npos)
      return PackageFault::kNone;
    start = end + 1;
  }
}

bool PackageReader::Fail(PackageFault fault) {
  check_.fault = fault;
  check_.offset = static_cast<std::size_t>(recordOffset_);
  return false;
}

// Parses a complete header: the path must end within its field, then pass the rules.
bool PackageReader::Header() {
  std::size_t units = 0;
  while (units < kPackagePathUnits && ReadUnit(header_ + 2 * units) != 0) {
    path_[units] = ReadUnit(header_ + 2 * units);
    ++units;
  }
  if (units == kPackagePathUnits) {
    pathLength_ = 0;
    return Fail(PackageFault::kPathUnterminated);
  }
  path_[units] = 0;
  pathLength_ = units;
  dataLeft_ = U32(header_ + kPackageSizeOffset);
  inData_ = true;
  pathFault_ = CheckRelativePath(CurrentPath(), maxPathUnits_);
  if (pathFault_ == PackageFault::kNone && visitor_ != nullptr &&
      !visitor_->Record(CurrentPath(), dataLeft_)) {
    stopped_ = true;
  }
  return !stopped_;
}

bool PackageReader::Feed(const std::uint8_t* data, std::size_t size) {
  if (!check_.ok() || stopped_ || finished_)
    return false;
  while (size > 0) {
    if (!inData_) {
      if (headerFill_ == 0)
        recordOffset_ = position_;
      const std::size_t n = std::min(size, kPackageHeaderBytes - headerFill_);
      std::memcpy(header_ + headerFill_, data, n);
      headerFill_ += n;
      position_ += n;
      data += n;
      size -= n;
      if (headerFill_ < kPackageHeaderBytes)
        return true;
      headerFill_ = 0;
      if (!Header())
        return false;
    } else {
      const std::size_t n = std::min<std::size_t>(size, dataLeft_);
      if (n > 0 && pathFault_ == PackageFault::kNone && visitor_ != nullptr &&
          !visitor_->Data(data, n)) {
        stopped_ = true;
        return false;
      }
      dataLeft_ -= static_cast<std::uint32_t>(n);
      position_ += n;
      data += n;
      size -= n;
    }
    if (inData_ && dataLeft_ == 0) {
      inData_ = false;
      if (pathFault_ != PackageFault::kNone)
        return Fail(pathFault_);
      if (pathLength_ > check_.longestPath)
        check_.longestPath = pathLength_;
      check_.dataBytes += U32(header_ + kPackageSizeOffset);
      ++check_.recordIndex;
      if (visitor_ != nullptr && !visitor_->RecordEnd()) {
        stopped_ = true;
        return false;
      }
    }
  }
  return true;
}

const PackageCheck& PackageReader::Finish() {
  if (check_.ok() && !stopped_ && !finished_) {
    if (headerFill_ > 0)
      Fail(PackageFault::kHeaderTruncated);
    else if (inData_)
      Fail(PackageFault::kDataTruncated);
  }
  finished_ = true;
  return check_;
}

PackageCheck ValidatePackage(const std::uint8_t* data,
                             std::size_t length,
                             std::size_t maxPathUnits) {
  PackageReader reader(maxPathUnits);
  reader.Feed(data, length);
  return reader.Finish();
}

std::string PackageCheck::Describe() const {
  if (ok()) {
    return std::to_string(recordIndex) + " records, " + std::to_string(dataBytes) +
           " data bytes, longest path " + std::to_string(longestPath) + " code units";
  }
  return "record " + std::to_string(recordIndex) + " at offset " + std::to_string(offset) + ": " +
         DescribePackageFault(fault);
}

bool PackageOrderLess(std::u16string_view a, std::u16string_view b) {
  for (;;) {
    const std::size_t ea = a.find(u'\\');
    const std::size_t eb = b.find(u'\\');
    const std::u16string_view na = a.substr(0, ea);
    const std::u16string_view nb = b.substr(0, eb);
    if (na != nb)
      return na < nb;
    if (ea == std::u16string_view::npos || eb == std::u16string_view::npos) {
      return ea == std::u16string_view::npos && eb != std::u16string_view::npos;
    }
    a.remove_prefix(ea + 1);
    b.remove_prefix(eb + 1);
  }
}

bool AppendPackageRecord(std::vector<std::uint8_t>* package,
                         std::u16string_view path,
                         const std::uint8_t* data,
                         std::size_t size,
                         char16_t filler) {
  if (path.size() >= kPackagePathUnits || size > 0xffffffffu)
    return false;
  const std::size_t at = package->size();
  package->resize(at + kPackageHeaderBytes + size);
  std::uint8_t* out = package->data() + at;
  for (std::size_t i = 0; i < kPackagePathUnits; ++i) {
    const char16_t unit = i < path.size() ? path[i] : i == path.size() ? u'\0' : filler;
    out[2 * i] = static_cast<std::uint8_t>(unit & 0xff);
    out[2 * i + 1] = static_cast<std::uint8_t>(unit >> 8);
  }
  for (unsigned i = 0; i < 4; ++i) {
    out[kPackageSizeOffset + i] = static_cast<std::uint8_t>(size >> (8 * i));
  }
  if (size > 0)
    std::memcpy(out + kPackageHeaderBytes, data, size);
  return true;
}
