#include "ply/ply.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

const char* const kTypeNames[] = {"int8",  "uint8", "int16", "uint16", "int32",  "uint32",
                                  "float32", "float64", "char", "uchar", "short", "ushort",
                                  "int",   "uint",  "float", "double", "list"};

int typeSize(e_ply_type t) {
  switch (t) {
    case PLY_INT8: case PLY_UINT8: case PLY_CHAR: case PLY_UCHAR: return 1;
    case PLY_INT16: case PLY_UINT16: case PLY_SHORT: case PLY_USHORT: return 2;
    case PLY_INT32: case PLY_UIN32: case PLY_INT: case PLY_UINT: case PLY_FLOAT32:
    case PLY_FLOAT: return 4;
    case PLY_FLOAT64: case PLY_DOUBLE: return 8;
    default: return 0;
  }
}

bool machineIsLittleEndian() {
  const std::uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// Integer conversions saturate, so that no value outside the type's range is undefined.
template <class I>
I toInteger(double v) {
  if (std::isnan(v)) return 0;
  if (v <= double(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
  if (v >= double(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
  return I(v);
}

void defaultErrorCallback(p_ply, const char* message) { std::fprintf(stderr, "RPly: %s\n", message); }

struct Property {
  std::string name;
  e_ply_type type;
};

struct Element {
  std::string name;
  long ninstances;
  std::vector<Property> properties;
};

}  // namespace

struct t_ply_ {
  FILE* fp = nullptr;
  bool own_fp = true;  // closed by ply_close
  bool swap = false;  // file byte order differs from the machine's
  p_ply_error_cb error_cb = nullptr;
  long idata = 0;
  void* pdata = nullptr;
  std::vector<Element> elements;
  bool header_written = false;
  bool failed = false;  // a write already failed: the file is short
  // Position of the next value.
  std::size_t element = 0;
  long instance = 0;
  std::size_t property = 0;
};

namespace {

int fail(p_ply ply, const char* message) {
  ply->error_cb(ply, message);
  return 0;
}

// A failed write or close, with the system's reason (a full disk, a file-size limit).
int failWithReason(p_ply ply, const char* message, int error) {
  if (error == 0) return fail(ply, message);
  const std::string text = std::string(message) + " (" + std::strerror(error) + ")";
  return fail(ply, text.c_str());
}

// Moves the write position past empty elements.
void skipEmpty(p_ply ply) {
  while (ply->element < ply->elements.size() &&
         (ply->elements[ply->element].ninstances == 0 ||
          ply->elements[ply->element].properties.empty()))
    ++ply->element;
}

bool writeBytes(p_ply ply, const void* data, int size) {
  unsigned char bytes[8];
  std::memcpy(bytes, data, std::size_t(size));
  if (ply->swap)
    for (int i = 0; i < size / 2; ++i) std::swap(bytes[i], bytes[size - 1 - i]);
  return std::fwrite(bytes, 1, std::size_t(size), ply->fp) == std::size_t(size);
}

}  // namespace

namespace {

p_ply createOn(FILE* fp, bool own_fp, e_ply_storage_mode storage_mode, p_ply_error_cb error_cb,
               long idata, void* pdata) {
  p_ply ply = new t_ply_;
  ply->fp = fp;
  ply->own_fp = own_fp;
  ply->error_cb = error_cb;
  ply->idata = idata;
  ply->pdata = pdata;
  const bool little = storage_mode == PLY_DEFAULT ? machineIsLittleEndian()
                                                  : storage_mode == PLY_LITTLE_ENDIAN;
  ply->swap = little != machineIsLittleEndian();
  return ply;
}

bool supportedMode(e_ply_storage_mode storage_mode, p_ply_error_cb error_cb) {
  if (storage_mode == PLY_BIG_ENDIAN || storage_mode == PLY_LITTLE_ENDIAN ||
      storage_mode == PLY_DEFAULT)
    return true;
  error_cb(nullptr, "Unsupported storage mode");
  return false;
}

}  // namespace

p_ply ply_create(const char* name, e_ply_storage_mode storage_mode, p_ply_error_cb error_cb,
                 long idata, void* pdata) {
  if (!error_cb) error_cb = defaultErrorCallback;
  if (!supportedMode(storage_mode, error_cb)) return nullptr;
  FILE* fp = name ? std::fopen(name, "wb") : nullptr;
  if (!fp) {
    const std::string message = std::string("Unable to create file (") +
                                std::strerror(name ? errno : EINVAL) + ")";
    error_cb(nullptr, message.c_str());
    return nullptr;
  }
  return createOn(fp, true, storage_mode, error_cb, idata, pdata);
}

p_ply ply_create_to_file(FILE* fp, e_ply_storage_mode storage_mode, p_ply_error_cb error_cb,
                         long idata, void* pdata) {
  if (!error_cb) error_cb = defaultErrorCallback;
  if (!supportedMode(storage_mode, error_cb)) return nullptr;
  if (!fp) {
    error_cb(nullptr, "Unable to create file (Invalid argument)");
    return nullptr;
  }
  return createOn(fp, false, storage_mode, error_cb, idata, pdata);
}

int ply_get_ply_user_data(p_ply ply, void** pdata, long* idata) {
  if (!ply) return 0;
  if (pdata) *pdata = ply->pdata;
  if (idata) *idata = ply->idata;
  return 1;
}

int ply_add_element(p_ply ply, const char* name, long ninstances) {
  if (!ply) return 0;
  if (ply->header_written) return fail(ply, "Header already written");
  if (!name || !*name || ninstances < 0) return fail(ply, "Invalid element");
  ply->elements.push_back(Element{name, ninstances, {}});
  return 1;
}

int ply_add_scalar_property(p_ply ply, const char* name, e_ply_type type) {
  if (!ply) return 0;
  if (ply->header_written) return fail(ply, "Header already written");
  if (ply->elements.empty()) return fail(ply, "No element to add the property to");
  if (!name || !*name || typeSize(type) == 0) return fail(ply, "Invalid property");
  ply->elements.back().properties.push_back(Property{name, type});
  return 1;
}

int ply_write_header(p_ply ply) {
  if (!ply) return 0;
  if (ply->header_written) return fail(ply, "Header already written");
  const bool little = ply->swap != machineIsLittleEndian();
  std::string header = "ply\nformat ";
  header += little ? "binary_little_endian" : "binary_big_endian";
  header += " 1.0\n";
  for (const Element& e : ply->elements) {
    header += "element " + e.name + " " + std::to_string(e.ninstances) + "\n";
    for (const Property& p : e.properties)
      header += std::string("property ") + kTypeNames[p.type] + " " + p.name + "\n";
  }
  header += "end_header\n";
  ply->header_written = true;
  skipEmpty(ply);
  errno = 0;
  if (std::fwrite(header.data(), 1, header.size(), ply->fp) != header.size()) {
    ply->failed = true;
    return failWithReason(ply, "Error writing to file", errno);
  }
  return 1;
}

int ply_write(p_ply ply, double value) {
  if (!ply) return 0;
  if (!ply->header_written) return fail(ply, "Header not written yet");
  if (ply->failed) return 0;
  if (ply->element >= ply->elements.size())
    return fail(ply, "More values than the header declares");
  const Element& e = ply->elements[ply->element];
  const e_ply_type type = e.properties[ply->property].type;
  bool ok = false;
  errno = 0;
  switch (type) {
    case PLY_INT8: case PLY_CHAR: { const auto v = toInteger<std::int8_t>(value); ok = writeBytes(ply, &v, 1); break; }
    case PLY_UINT8: case PLY_UCHAR: { const auto v = toInteger<std::uint8_t>(value); ok = writeBytes(ply, &v, 1); break; }
    case PLY_INT16: case PLY_SHORT: { const auto v = toInteger<std::int16_t>(value); ok = writeBytes(ply, &v, 2); break; }
    case PLY_UINT16: case PLY_USHORT: { const auto v = toInteger<std::uint16_t>(value); ok = writeBytes(ply, &v, 2); break; }
    case PLY_INT32: case PLY_INT: { const auto v = toInteger<std::int32_t>(value); ok = writeBytes(ply, &v, 4); break; }
    case PLY_UIN32: case PLY_UINT: { const auto v = toInteger<std::uint32_t>(value); ok = writeBytes(ply, &v, 4); break; }
    case PLY_FLOAT32: case PLY_FLOAT: { const float v = float(value); ok = writeBytes(ply, &v, 4); break; }
    case PLY_FLOAT64: case PLY_DOUBLE: ok = writeBytes(ply, &value, 8); break;
    default: break;
  }
  if (!ok) {
    ply->failed = true;
    return failWithReason(ply, "Error writing to file", errno);
  }
  if (++ply->property == e.properties.size()) {
    ply->property = 0;
    if (++ply->instance == e.ninstances) {
      ply->instance = 0;
      ++ply->element;
      skipEmpty(ply);
    }
  }
  return 1;
}

int ply_close(p_ply ply) {
  if (!ply) return 0;
  int ok = 1;
  if (!ply->failed && (!ply->header_written || ply->element < ply->elements.size()))
    ok = fail(ply, "Fewer values than the header declares");
  if (ply->failed) ok = 0;  // already reported
  errno = 0;
  const bool closed = ply->own_fp ? std::fclose(ply->fp) == 0
                                  : std::fflush(ply->fp) == 0 && !std::ferror(ply->fp);
  if (!closed && ok) ok = failWithReason(ply, "Error closing up", errno);
  delete ply;
  return ok;
}
