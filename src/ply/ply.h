// A writer of binary PLY files with the call sequence of the RPly library: create, declare
// elements and scalar properties, write the header, then every value in order, then close.
// Calls return 1 on success and 0 on failure, after reporting through the error callback.
#pragma once

#include <cstdio>

typedef struct t_ply_* p_ply;

typedef enum e_ply_storage_mode_ {
  PLY_BIG_ENDIAN,
  PLY_LITTLE_ENDIAN,
  PLY_ASCII,    // not supported by this writer
  PLY_DEFAULT,  // the machine's own byte order
} e_ply_storage_mode;

typedef enum e_ply_type {
  PLY_INT8, PLY_UINT8, PLY_INT16, PLY_UINT16, PLY_INT32, PLY_UIN32, PLY_FLOAT32, PLY_FLOAT64,
  PLY_CHAR, PLY_UCHAR, PLY_SHORT, PLY_USHORT, PLY_INT, PLY_UINT, PLY_FLOAT, PLY_DOUBLE,
  PLY_LIST,  // not supported by this writer
} e_ply_type;

// Receives every error; a null callback passed to ply_create prints "ply: <message>" to stderr.
typedef void (*p_ply_error_cb)(p_ply ply, const char* message);

// Opens (creates or truncates) the file; null when it cannot be created.
p_ply ply_create(const char* name, e_ply_storage_mode storage_mode, p_ply_error_cb error_cb,
                 long idata, void* pdata);
// Writes to a stream the caller opened; ply_close flushes it but leaves it open for the caller.
p_ply ply_create_to_file(FILE* fp, e_ply_storage_mode storage_mode, p_ply_error_cb error_cb,
                         long idata, void* pdata);
int ply_get_ply_user_data(p_ply ply, void** pdata, long* idata);
int ply_add_element(p_ply ply, const char* name, long ninstances);
// Adds a property to the element added last.
int ply_add_scalar_property(p_ply ply, const char* name, e_ply_type type);
int ply_write_header(p_ply ply);
// The next value in file order, converted to its property's type.
// A failed write is reported with the system's reason ("Error writing to file (No space left on
// device)").
int ply_write(p_ply ply, double value);
// Closes the file (flushes a stream of ply_create_to_file) and frees the handle; fails when the
// file cannot be completed or fewer values were written than the header declares.
int ply_close(p_ply ply);
