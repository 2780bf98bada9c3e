// The payload package: the container of the client's files that the installer carries
// (inflated from resource "FILE" 137). This module owns the format: the walker the install
// worker uses, the validator that runs over the whole package before any file is written,
// and the record writer the packager and the tests use.
//
// Layout: records laid end to end from offset 0 to the last byte, with no header, count,
// padding or trailer. All integers little-endian.
//
//   offset 0    520 bytes  path: 260 UTF-16LE code units, the relative path ('\'
//                          separators) ended by a NUL; units after the NUL mean nothing
//   offset 520    4 bytes  size: unsigned count of the data bytes that follow
//   offset 524 size bytes  data: the file's content, unchanged
//
// The next record starts right after the last data byte; the end of the data is the end
// of the package. An empty package holds no records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kPackagePathUnits = 260;  // path field, NUL included
inline constexpr std::size_t kPackagePathBytes = 2 * kPackagePathUnits;
inline constexpr std::size_t kPackageSizeOffset = kPackagePathBytes;
inline constexpr std::size_t kPackageHeaderBytes = kPackagePathBytes + 4;
static_assert(kPackagePathBytes == 520 && kPackageHeaderBytes == 524);

// Inflated-size limits of the two resources, in bytes.
inline constexpr std::uint32_t kPackageLimit = 104857600;
inline constexpr std::uint32_t kUninstallerLimit = 10485760;

// Longest full path the installer writes, in UTF-16 code units (without the NUL).
inline constexpr std::size_t kMaxFullPathUnits = 259;

// One record as the walker hands it out. `path` holds the code units before the NUL,
// NUL-terminated; `data` points into the package.
struct PackageRecord {
  char16_t path[kPackagePathUnits];
  std::size_t pathLength;
  const std::uint8_t* data;
  std::uint32_t size;
};

enum class PackageFault {
  kNone,
  kHeaderTruncated,   // fewer than 524 bytes left for a record header
  kPathUnterminated,  // no NUL among the 260 code units of the path field
  kDataTruncated,     // the size runs past the end of the package
  kEmptyPath,
  kPathTooLong,         // longer than the caller allows
  kAbsolutePath,        // leading '\'
  kDrive,               // "X:" at the start
  kForwardSlash,        // '/' is no separator here and no name character
  kEmptyComponent,      // "a\\b" or a trailing '\'
  kDotComponent,        // "." or ".."
  kForbiddenCharacter,  // control characters and < > : " | ? *
  kTrailingDotOrSpace,  // a name Windows would silently change
  kReservedName,        // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and ¹²³), CONIN$, CONOUT$,
                        // with or without an extension
};

// Walks the records in order. It never reads outside the package: a record that does not
// fit, or a path field without a NUL, ends the walk (Next returns false, as at the end).
// Run ValidatePackage first to refuse a damaged package, and to learn why, before acting on
// any record.
class PayloadPackage {
 public:
  PayloadPackage(const std::uint8_t* data, std::size_t length) : data_(data), length_(length) {}

  // Fills `record` with the next record; false at the end or at a damaged record, and on
  // every call after.
  bool Next(PackageRecord* record);

 private:
  const std::uint8_t* data_;
  std::size_t length_;
  std::size_t position_ = 0;
};

// Outcome of ValidatePackage: the first fault and where it is, or the package's summary.
struct PackageCheck {
  PackageFault fault = PackageFault::kNone;
  std::size_t recordIndex = 0;  // index of the faulty record, or the number of records
  std::size_t offset = 0;       // offset of the faulty record's header
  std::size_t longestPath = 0;  // in code units, over the records checked
  std::uint64_t dataBytes = 0;  // sum of the sizes of the records checked

  bool ok() const { return fault == PackageFault::kNone; }
  // One line in English for a log or a developer, e.g.
  // "record 3 at offset 1572: the path has an empty component".
  std::string Describe() const;
};

// What a PackageReader hands out as it reads. Any call may return false to stop the read.
class PackageVisitor {
 public:
  virtual ~PackageVisitor() = default;
  // A record begins: its path, already checked, and its data size.
  virtual bool Record(std::u16string_view path, std::uint32_t size) = 0;
  // The next piece of the current record's data, never empty.
  virtual bool Data(const std::uint8_t* data, std::size_t size) = 0;
  // The current record's data is complete.
  virtual bool RecordEnd() = 0;
};

// Reads a package from consecutive pieces of any size, as an inflater delivers them,
// checking each record by ValidatePackage's rules; the visitor (when given) sees only
// records whose header passed, as soon as it passed - a last record cut short too, whose
// fault only Finish can tell. A record whose path is refused is read to its end first, so
// a package whose last record is cut short reports that, as ValidatePackage does.
class PackageReader {
 public:
  explicit PackageReader(std::size_t maxPathUnits = kMaxFullPathUnits,
                         PackageVisitor* visitor = nullptr)
      : maxPathUnits_(maxPathUnits), visitor_(visitor) {}

  // Takes the next piece; false once the package is found faulty or the visitor stopped.
  bool Feed(const std::uint8_t* data, std::size_t size);
  // Ends the package (a record cut short is a fault) and returns the check.
  const PackageCheck& Finish();

  const PackageCheck& Check() const { return check_; }
  bool Stopped() const { return stopped_; }
  // Bytes taken so far.
  std::uint64_t Position() const { return position_; }
  // The path of the record being read, or of the faulty one.
  std::u16string_view CurrentPath() const { return std::u16string_view(path_, pathLength_); }

 private:
  bool Header();
  bool Fail(PackageFault fault);

  std::size_t maxPathUnits_;
  PackageVisitor* visitor_;
  PackageCheck check_;
  std::uint8_t header_[kPackageHeaderBytes] = {};
  std::size_t headerFill_ = 0;
  std::uint32_t dataLeft_ = 0;
  bool inData_ = false;
  PackageFault pathFault_ = PackageFault::kNone;  // refused path, reported at its end
  bool stopped_ = false;
  bool finished_ = false;
  std::uint64_t position_ = 0;
  std::uint64_t recordOffset_ = 0;
  char16_t path_[kPackagePathUnits] = {};
  std::size_t pathLength_ = 0;
};

// Checks every record of the package: that it fits, and that its path is a relative path
// of at most `maxPathUnits` code units whose every component Windows can hold as a name.
PackageCheck ValidatePackage(const std::uint8_t* data,
                             std::size_t length,
                             std::size_t maxPathUnits = kMaxFullPathUnits);

// A short English sentence for a fault, e.g. "the path has an empty component".
const char* DescribePackageFault(PackageFault fault);

// Checks one name (a path component) by the same rules.
PackageFault CheckPathName(std::u16string_view name);

// Checks one relative path (without its NUL) by the same rules.
PackageFault CheckRelativePath(std::u16string_view path, std::size_t maxPathUnits);

// The packager's order of records: a sorted recursive walk of the source folder in which
// each sub-folder's files come where its name falls among its siblings. Paths compare
// component by component, names by UTF-16 code units.
bool PackageOrderLess(std::u16string_view a, std::u16string_view b);

// Appends one record. `path` must be shorter than 260 code units. The path field's units
// after the NUL are `filler` (the format gives them no meaning; tests use a non-zero
// filler to prove that). Returns false, appending nothing, for a path that is too long
// or data of 4 GiB or more.
bool AppendPackageRecord(std::vector<std::uint8_t>* package,
                         std::u16string_view path,
                         const std::uint8_t* data,
                         std::size_t size,
                         char16_t filler = 0);
