// Allocation failure at every index of the allocating doors: each failing run returns status
// 8 and leaves nothing allocated.
#include "serialize/every_kind.hpp"
#include "support/counting_allocator.hpp"

#include <cstdlib>

using namespace serialize_test;
using tamsel_test::counting_allocator;

namespace {

// A record whose pretty output makes every allocator user work: a JSON value holder nested
// deeper than the transcoder's and the pull reader's inline stacks, and a chain of records
// through object arrays deeper than the generator's first frame stack.
struct gnode {
    tamsel_json_value raw;
    tamsel_object_array kids;
};
const tamsel_map &gnode_map() {
    static tamsel_field fields[2];
    static const tamsel_map map = {"gnode", sizeof(gnode), fields, 2, &map, nullptr};
    fields[0] = field("raw", offsetof(gnode, raw), TAMSEL_FIELD_JSON_VALUE, TAMSEL_FIELD_OMIT_NULL);
    fields[1] = field("kids", offsetof(gnode, kids), TAMSEL_FIELD_OBJECT_ARRAY);
    fields[1].submap = &map;
    fields[1].elem_size = sizeof(gnode);
    return map;
}

// Built with `holder_allocator` while `a` is paused; released the same way.
class fault_record {
  public:
    explicit fault_record(const tamsel_allocator *holder_allocator) : chain_(12) {
        for (size_t i = 0; i < chain_.size(); ++i) {
            tamsel_json_value_init_with_allocator(&chain_[i].raw, holder_allocator);
            chain_[i].kids = {i + 1 < chain_.size() ? &chain_[i + 1] : nullptr,
                              i + 1 < chain_.size() ? 1u : 0u, 1, sizeof(gnode), 0};
        }
        const std::string deep = std::string(300, '[') + "1" + std::string(300, ']');
        EXPECT_EQ(tamsel_json_value_set_buffer(&chain_[0].raw, deep.data(), deep.size(), nullptr),
                  TAMSEL_STATUS_OK);
    }
    ~fault_record() {
        for (gnode &n : chain_)
            tamsel_json_value_cleanup(&n.raw);
    }
    const gnode *root() const { return &chain_[0]; }

  private:
    std::vector<gnode> chain_;
};

tamsel_runtime *pretty_runtime(const tamsel_allocator *allocator) {
    tamsel_config c = tamsel_default_config();
    c.pretty = 1;
    c.allocator = allocator;
    c.max_output_bytes = UINT64_MAX;
    return tamsel_new(&c, nullptr);
}

TEST(SerializeFaults, OwnedOutputAtEveryAllocation) {
    const size_t runs = tamsel_test::expect_allocation_failures_clean([](counting_allocator &a) {
        a.pause();
        tamsel_runtime *rt = pretty_runtime(a.get());
        auto *rec = new fault_record(a.get());
        a.resume();
        tamsel_owned_buffer out;
        tamsel_error e;
        tamsel_status st = tamsel_serialize_owned(rt, &gnode_map(), rec->root(), &out, &e);
        if (st != TAMSEL_STATUS_OK) {
            EXPECT_EQ(out.data, nullptr);
            EXPECT_EQ(e.code, st);
        }
        a.pause();
        tamsel_owned_buffer_free(&out);
        delete rec;
        tamsel_free(rt);
        return st;
    });
    EXPECT_GE(runs, 4u); // the holder's nesting stack and several growths of the output
}

TEST(SerializeFaults, AllocOutputAtEveryAllocation) {
    // The output block comes from malloc; the holder's transcoder allocates through the
    // counting allocator. A failing run must still release the output block.
    const size_t runs = tamsel_test::expect_allocation_failures_clean([](counting_allocator &a) {
        a.pause();
        tamsel_runtime *rt = pretty_runtime(nullptr);
        auto *rec = new fault_record(a.get());
        a.resume();
        size_t len = 1;
        tamsel_error e;
        char *text = tamsel_serialize_alloc(rt, &gnode_map(), rec->root(), &len, &e);
        const tamsel_status st = text ? TAMSEL_STATUS_OK : e.code;
        if (!text) {
            EXPECT_EQ(len, 0u);
        }
        std::free(text);
        a.pause();
        delete rec;
        tamsel_free(rt);
        return st;
    });
    EXPECT_GE(runs, 1u);
}

TEST(SerializeFaults, GeneratorRunAtEveryAllocation) {
    std::string expected;
    {
        tamsel_runtime *rt = pretty_runtime(nullptr);
        fault_record rec(nullptr);
        expected = serialize(rt, gnode_map(), rec.root());
        tamsel_free(rt);
    }
    const size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
        a.pause();
        tamsel_runtime *rt = pretty_runtime(a.get());
        auto *rec = new fault_record(a.get());
        a.resume();
        tamsel_generator g;
        tamsel_status st = tamsel_generator_init(rt, &g, &gnode_map(), rec->root());
        std::string out;
        while (st == TAMSEL_STATUS_OK) {
            char buf[100];
            size_t n;
            int done;
            st = g.read(&g, buf, sizeof buf, &n, &done);
            out.append(buf, st == TAMSEL_STATUS_OK ? n : 0);
            if (done) break;
        }
        if (st == TAMSEL_STATUS_OK) {
            EXPECT_EQ(out, expected);
        } else {
            EXPECT_EQ(g.error.code, st);
        }
        g.cleanup(&g);
        a.pause();
        delete rec;
        tamsel_free(rt);
        return st;
    });
    EXPECT_GE(runs, 3u); // the state, the frame stack and its growth, the pull reader's stack
}

} // namespace
