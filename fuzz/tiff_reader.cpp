// Fuzz target of the TIFF mask reader: any bytes as a label image, or as a
// stack whose last page is read (the pages before it are skipped over, the
// first page's ImageJ description parsed), then the shapes of its regions as
// a run measures them.
#include "fuzz/mask_target.h"

namespace {

vantu::LabelImage read_one_or_last_page(const std::string& path) {
  const vantu::StackAxes axes = vantu::tiff_stack_axes(path);  // the ImageJ description too
  const long pages = vantu::tiff_page_count(path);
  if (axes.pages != pages) __builtin_trap();
  return pages > 1 ? vantu::read_tiff_labels(path, pages - 1) : vantu::read_tiff_labels(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vantu_fuzz::read_and_measure(read_one_or_last_page, data, size);
}
