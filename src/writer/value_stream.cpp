#include "writer/state.hpp"
using namespace tamsel;
using namespace tamsel::writer;
namespace tamsel::writer {
void detach_value_stream(state &) {}
} // namespace tamsel::writer
#define STUB(...)                                                                                  \
    { return TAMSEL_STATUS_INTERNAL_ERROR; }
extern "C" {
tamsel_status tamsel_writer_json_value_reader(tamsel_writer *, tamsel_reader, void *,
                                              tamsel_error *) STUB() tamsel_status
    tamsel_writer_json_value_buffer(tamsel_writer *, const void *, size_t, tamsel_error *)
        STUB() tamsel_status tamsel_writer_json_value_file(tamsel_writer *, FILE *, tamsel_error *)
            STUB() tamsel_status tamsel_writer_json_value_fd(tamsel_writer *, int, tamsel_error *)
                STUB() tamsel_status
    tamsel_writer_json_value_path(tamsel_writer *, const char *, tamsel_error *)
        STUB() tamsel_status
    tamsel_writer_json_value_spooled(tamsel_writer *, const tamsel_spooled *, tamsel_error *)
        STUB() tamsel_status tamsel_writer_array_items_reader(tamsel_writer *, const char *,
                                                              tamsel_reader, void *, tamsel_error *)
            STUB() tamsel_status
    tamsel_writer_array_items_buffer(tamsel_writer *, const char *, const void *, size_t,
                                     tamsel_error *) STUB() tamsel_status
    tamsel_writer_array_items_filep(tamsel_writer *, const char *, FILE *, tamsel_error *)
        STUB() tamsel_status
    tamsel_writer_array_items_fd(tamsel_writer *, const char *, int, tamsel_error *)
        STUB() tamsel_status
    tamsel_writer_array_items_path(tamsel_writer *, const char *, const char *, tamsel_error *)
        STUB() tamsel_status
    tamsel_writer_array_items_spooled(tamsel_writer *, const char *, const tamsel_spooled *,
                                      tamsel_error *) STUB()
}
