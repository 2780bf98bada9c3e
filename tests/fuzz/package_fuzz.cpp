// Fuzz target for the package validator and walker: they never read outside the package,
// and a package the validator accepts walks completely into records with acceptable paths.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "install/PayloadPackage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const PackageCheck check = ValidatePackage(data, size);
  PayloadPackage walker(data, size);
  PackageRecord record;
  std::size_t records = 0;
  std::size_t end = 0;
  while (walker.Next(&record)) {
    if (record.dataOffset + record.size > size)
      std::abort();
    end = record.dataOffset + record.size;
    if (check.ok() && CheckRelativePath(std::u16string_view(record.path, record.pathLength),
                                        kMaxFullPathUnits) != PackageFault::kNone) {
      std::abort();
    }
    ++records;
  }
  if (check.ok() &&
      (walker.Fault() != PackageFault::kNone || end != size || records != check.recordIndex)) {
    std::abort();
  }
  if (!check.ok() && check.recordIndex > records)
    std::abort();
  (void)check.Describe();
  return 0;
}
