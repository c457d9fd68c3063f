// Builds an LH5 file whose layout the input bytes choose (tables, columns, their types, lengths
// and values, chunks and compression) with HDF5's C API, and reads it back: the reader must
// either stream records that agree with its file_info or throw std::runtime_error.  The bytes
// drive the layout rather than HDF5's own encoding, which is the library's to parse.
#include "format.h"

#include <hdf5.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct bytes {
    const std::uint8_t* data;
    std::size_t size;
    std::uint8_t next() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    std::uint16_t next16() { return static_cast<std::uint16_t>(next() | next() << 8); }
};

const hid_t* file_types() {
    static const hid_t types[] = {H5T_STD_U16LE, H5T_STD_I16LE, H5T_STD_U8LE, H5T_STD_I32LE,
                                  H5T_STD_U32LE, H5T_STD_I64BE, H5T_IEEE_F32LE, H5T_IEEE_F64LE};
    return types;
}

void attribute(hid_t object, const char* name, const std::string& value) {
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t a = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    const char* text = value.c_str();
    H5Awrite(a, type, &text);
    H5Aclose(a);
    H5Sclose(space);
    H5Tclose(type);
}

// A dataset of `rows` (× `width` when 2-D) values taken from the input, of a type it chooses.
void dataset(hid_t group, const char* name, bytes& in, hsize_t rows, hsize_t width, bool matrix) {
    const hid_t type = file_types()[in.next() % 8];
    const hsize_t dims[2] = {rows, width};
    const int rank = matrix ? 2 : 1;
    const hid_t space = H5Screate_simple(rank, dims, nullptr);
    const hid_t creation = H5Pcreate(H5P_DATASET_CREATE);
    const std::uint8_t storage = in.next();
    if (storage & 1) {
        const hsize_t chunk[2] = {1u + storage % 7u, width > 0 ? width : 1};
        H5Pset_chunk(creation, rank, chunk);
        if (storage & 2) H5Pset_deflate(creation, 1);
        if (storage & 4) H5Pset_shuffle(creation);
    }
    const hid_t set = H5Dcreate2(group, name, type, space, H5P_DEFAULT, creation, H5P_DEFAULT);
    std::vector<std::int64_t> values(rows * (matrix ? width : 1));
    for (std::int64_t& value : values) {
        const std::uint8_t kind = in.next();
        value = kind < 200 ? static_cast<std::int16_t>(in.next16()) : kind < 250 ? static_cast<std::int64_t>(in.next16()) * 1000000 : -1;
    }
    if (set >= 0) {
        if (!values.empty()) H5Dwrite(set, H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
        if (in.next() & 1) attribute(set, "units", in.next() & 1 ? "ns" : "us");
        H5Dclose(set);
    }
    H5Pclose(creation);
    H5Sclose(space);
}

const char* const column_names[] = {"waveform", "timestamp", "eventnumber", "ievt", "daqenergy", "channel", "baseline"};

void table(hid_t file, bytes& in) {
    const std::string name = in.next() % 2 ? "ch" + std::to_string(in.next()) : "geds";
    if (H5Lexists(file, name.c_str(), H5P_DEFAULT) > 0) return;
    const hid_t top = H5Gcreate2(file, name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    const hid_t raw = H5Gcreate2(top, "raw", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    const std::uint8_t present = in.next();
    std::string columns;
    for (int i = 0; i < 7; ++i)
        if (present & (1 << i)) columns += (columns.empty() ? "" : ",") + std::string(column_names[i]);
    if (!(present & 0x80)) attribute(raw, "datatype", "table{" + columns + "}");
    const hsize_t rows = in.next() % 12;
    auto length = [&] { return in.next() < 230 ? rows : rows + 1; };
    if (present & 1) {
        const hid_t waveform = H5Gcreate2(raw, "waveform", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        const std::uint8_t form = in.next();
        attribute(waveform, "datatype", form & 1 ? "array<1>{array<1>{real}}" : "table{t0,dt,values}");
        if (form & 2) dataset(waveform, "dt", in, length(), 1, false);
        if (form & 4) {
            // Vectors of vectors, in the column itself or in its values.
            const hid_t holder = form & 1 ? waveform : H5Gcreate2(waveform, "values", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
            dataset(holder, "flattened_data", in, in.next() % 40, 1, false);
            dataset(holder, "cumulative_length", in, length(), 1, false);
            if (holder != waveform) H5Gclose(holder);
        } else {
            dataset(waveform, "values", in, length(), in.next() % 9, !(form & 8));
        }
        H5Gclose(waveform);
    }
    for (int i = 1; i < 7; ++i)
        if (present & (1 << i)) dataset(raw, column_names[i], in, length(), 1, false);
    H5Gclose(raw);
    H5Gclose(top);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr) >= 0;
    static_cast<void>(quiet);
    char path[] = "/tmp/lh5-fuzz-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) std::abort();
    ::close(fd);
    bytes in{data, size};
    const hid_t file = H5Fcreate(path, H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    for (int tables = 1 + in.next() % 3; tables > 0; --tables) table(file, in);
    H5Fclose(file);
    try {
        auto reader = murel::formats::find("lh5").open(path, {});
        const murel::formats::file_info& info = reader->info();
        murel::formats::record_batch batch;
        const std::size_t batch_size = 1 + in.next() % 8;
        std::uint64_t records = 0;
        while (reader->next(batch, batch_size)) {
            if (batch.size() > batch_size || batch.ends.size() != batch.size() || batch.ends.back() != batch.samples.size())
                std::abort();
            for (const murel::formats::record_header& header : batch.headers)
                if (header.channel >= info.channels.size()) std::abort();
            for (std::size_t i = 0; i < batch.size(); ++i)
                if (info.samples && batch.length_of(i) != *info.samples) std::abort();
            records += batch.size();
        }
        if (info.records && records != *info.records) std::abort();
    } catch (const std::runtime_error&) {
        // A corrupt file: the message names it.
    }
    ::unlink(path);
    return 0;
}
