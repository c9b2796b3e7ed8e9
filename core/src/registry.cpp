#include <array>

#include "extractors/extractors.hpp"
#include "vorandix/engine.hpp"
#include "vorandix/input.hpp"

namespace vorandix {

namespace {

// An extractor of the registry: the run loop's interface over one format's two functions. It
// gives the format an Input that keeps the first failure and settles the result against it.
template <bool (*Applies)(const ExtractContext&), ExtractResult (*Extract)(Input&, Section)>
class Registered final : public Extractor {
public:
    explicit Registered(const char* name) : name_(name) {}
    const char* name() const override { return name_; }
    bool applies(const ExtractContext& ctx) const override { return Applies(ctx); }
    ExtractResult extract(ByteSource& source, const ExtractContext& ctx) const override {
        Input in(source, ctx, name_);
        return in.settle(Extract(in, Section(name_)));
    }

private:
    const char* name_;
};

}  // namespace

#define VORANDIX_DEFINE(name)                                                                 \
    const Extractor& name##_extractor() {                                                     \
        static const Registered<&extractors::name::applies, &extractors::name::extract> e( \
            #name);                                                                           \
        return e;                                                                             \
    }
VORANDIX_EXTRACTORS(VORANDIX_DEFINE)
#undef VORANDIX_DEFINE

std::span<const Extractor* const> registry() {
#define VORANDIX_ADDRESS(name) &name##_extractor(),
    static const std::array extractors = {VORANDIX_EXTRACTORS(VORANDIX_ADDRESS)};
#undef VORANDIX_ADDRESS
    return extractors;
}

}  // namespace vorandix
