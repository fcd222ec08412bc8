#include "transloom/workbook/cfb_container.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-memory.h>
#include <gsf/gsf-utils.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "common/platform/debuglog.h"
#include "transloom/workbook/biff_records.h"

namespace workbook::cfb {
namespace {

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GsfPtr = std::unique_ptr<T, ObjectUnref>;

struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};

// libgsf reports damaged files as GLib warnings; they belong on our debug
// channel, not on the operator's terminal.
void RouteLibraryWarnings(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
  platform::DebugOutput("%s: %s\n", domain != nullptr ? domain : "gsf", message);
}

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    gsf_init();
    const auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL |
                                                    G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO |
                                                    G_LOG_LEVEL_DEBUG);
    // libgsf logs part of its complaints without a domain of its own.
    for (const char* domain : {"libgsf:msole", "libgsf", "GLib-GObject", static_cast<const char*>(nullptr)})
      g_log_set_handler(domain, levels, RouteLibraryWarnings, nullptr);
  });
}

bool SameNameIgnoringCase(const char* a, const char* b) {
  if (a == nullptr) return false;
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 32) : *a;
    const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

}  // namespace

bool LooksLikeCompoundFile(const std::uint8_t* file, std::size_t size) {
  static constexpr std::uint8_t kSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  return size >= sizeof kSignature && std::memcmp(file, kSignature, sizeof kSignature) == 0;
}

Status ReadWorkbookStream(const std::uint8_t* file, std::size_t size,
                          std::vector<std::uint8_t>* stream) {
  InitOnce();
  GsfPtr<GsfInput> input(gsf_input_memory_new(file, static_cast<gsf_off_t>(size), FALSE));
  if (!input) return Status::Fail("cannot open the file image");
  GError* rawError = nullptr;
  GsfPtr<GsfInfile> ole(gsf_infile_msole_new(input.get(), &rawError));
  std::unique_ptr<GError, ErrorFree> error(rawError);
  if (!ole) {
    return Status::Fail(std::string("not an Excel 97-2003 workbook (no valid OLE2 compound file") +
                        (error ? std::string(": ") + error->message : std::string()) + ")");
  }
  // "Workbook" first; a "Book" stream is read too, and its BOF record then
  // tells BIFF8 (read) from BIFF5 and older (refused with that reason).
  int workbookIndex = -1, bookIndex = -1;
  const int children = gsf_infile_num_children(ole.get());
  for (int i = 0; i < children; ++i) {
    const char* name = gsf_infile_name_by_index(ole.get(), i);
    if (SameNameIgnoringCase(name, biff::kWorkbookStreamName) && workbookIndex < 0) workbookIndex = i;
    if (SameNameIgnoringCase(name, biff::kBiff5StreamName) && bookIndex < 0) bookIndex = i;
  }
  if (workbookIndex < 0) workbookIndex = bookIndex;
  // An Office Open XML workbook saved with a password travels inside a
  // compound file as an "EncryptedPackage" stream.
  if (workbookIndex < 0 &&
      GsfPtr<GsfInput>(gsf_infile_child_by_name(ole.get(), "EncryptedPackage")) != nullptr)
    return Status::Fail(
        "the workbook is encrypted (saved with a password); save it again without one");
  if (workbookIndex < 0) return Status::Fail("the compound file has no \"Workbook\" stream");
  GsfPtr<GsfInput> child(gsf_infile_child_by_index(ole.get(), workbookIndex));
  if (!child) return Status::Fail("the \"Workbook\" stream cannot be opened (damaged sector chain)");
  const gsf_off_t length = gsf_input_size(child.get());
  // The stream's sectors are all inside the file, so a longer claim is a lie.
  if (length < 0 || static_cast<std::uint64_t>(length) > size) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "the \"Workbook\" stream claims %lld bytes in a file of %zu",
                  static_cast<long long>(length), size);
    return Status::Fail(buf);
  }
  stream->assign(static_cast<std::size_t>(length), 0);
  if (length > 0 &&
      gsf_input_read(child.get(), static_cast<size_t>(length), stream->data()) == nullptr) {
    stream->clear();
    return Status::Fail("the \"Workbook\" stream is truncated or its sector chain is damaged");
  }
  return Status::Ok();
}

Status WriteWorkbookFile(const std::vector<std::uint8_t>& stream, std::vector<std::uint8_t>* file,
                         const char* streamName) {
  InitOnce();
  GsfPtr<GsfOutput> memory(gsf_output_memory_new());
  if (!memory) return Status::Fail("cannot create the file image");
  {
    GsfPtr<GsfOutfile> ole(gsf_outfile_msole_new(memory.get()));
    if (!ole) return Status::Fail("cannot create the compound file");
    GsfPtr<GsfOutput> child(gsf_outfile_new_child(ole.get(), streamName, FALSE));
    if (!child) return Status::Fail("cannot create the \"Workbook\" stream");
    if (!gsf_output_write(child.get(), stream.size(), stream.data()) ||
        !gsf_output_close(child.get()) || !gsf_output_close(GSF_OUTPUT(ole.get())))
      return Status::Fail("cannot write the compound file");
  }
  // Closing the compound file closes its sink too.
  if (!gsf_output_is_closed(memory.get()) && !gsf_output_close(memory.get()))
    return Status::Fail("cannot finish the file image");
  const gsf_off_t length = gsf_output_size(memory.get());
  const guint8* data = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(memory.get()));
  if (length < 0 || (length > 0 && data == nullptr)) return Status::Fail("cannot read back the file image");
  file->assign(data, data + length);
  return Status::Ok();
}

}  // namespace workbook::cfb
