// Which vector unit runs the lock-step transforms. Each unit's kernel is compiled with its own
// instruction-set flags (see CMakeLists.txt) and only called after the processor has said it
// runs those instructions.

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <variant>

#include "fft_lanes.h"

namespace eddyrate {
namespace {

#ifdef EDDYRATE_LOCK_STEP
void askProcessor() { __builtin_cpu_init(); }

bool processorRuns(VectorUnit unit)
{
    switch (unit) {
    case VectorUnit::none:
        return true;
    case VectorUnit::avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
               __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
               __builtin_cpu_supports("f16c");
    case VectorUnit::avx512:
        return processorRuns(VectorUnit::avx2) && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512bw");
    }
    return false;
}
#else
// Built without the units' kernels: every transform goes column by column.
bool processorRuns(VectorUnit unit) { return unit == VectorUnit::none; }
void askProcessor() {}
#endif

VectorUnit namedUnit(const char* name)
{
    if (std::strcmp(name, "avx512") == 0) {
        return VectorUnit::avx512;
    }
    return std::strcmp(name, "avx2") == 0 ? VectorUnit::avx2 : VectorUnit::none;
}

VectorUnit widestUnit()
{
    askProcessor();
    VectorUnit widest = VectorUnit::none;
    for (const VectorUnit unit : {VectorUnit::avx2, VectorUnit::avx512}) {
        if (processorRuns(unit)) {
            widest = unit;
        }
    }
    const char* cap = std::getenv("EDDYRATE_VECTOR_UNIT");
    if (cap != nullptr && namedUnit(cap) < widest) {
        widest = namedUnit(cap);
    }
    return widest;
}

// -1 until a test chooses a unit.
std::atomic<int> chosenForTest{-1};

}  // namespace

VectorUnit activeVectorUnit()
{
    const int chosen = chosenForTest.load(std::memory_order_relaxed);
    if (chosen >= 0) {
        return static_cast<VectorUnit>(chosen);
    }
    static const VectorUnit widest = widestUnit();
    return widest;
}

std::vector<VectorUnit> availableVectorUnits()
{
    askProcessor();
    std::vector<VectorUnit> units;
    for (const VectorUnit unit : {VectorUnit::none, VectorUnit::avx2, VectorUnit::avx512}) {
        if (processorRuns(unit)) {
            units.push_back(unit);
        }
    }
    return units;
}

void useVectorUnit(VectorUnit unit)
{
    chosenForTest.store(static_cast<int>(unit), std::memory_order_relaxed);
}

std::int32_t lockStepLanes()
{
#ifdef EDDYRATE_LOCK_STEP
    switch (activeVectorUnit()) {
    case VectorUnit::avx2:
        return avx2::lanes();
    case VectorUnit::avx512:
        return avx512::lanes();
    case VectorUnit::none:
        break;
    }
#endif
    return 1;
}

void transformInLockStep(const TransformPlan& plan, std::span<const double* const> columnStarts,
                         const ColumnDestination& to)
{
#ifdef EDDYRATE_LOCK_STEP
    const bool widest = activeVectorUnit() == VectorUnit::avx512;
    std::visit(
        [&](const auto& p) {
            if (widest) {
                avx512::transformColumns(p, columnStarts, to);
            } else {
                avx2::transformColumns(p, columnStarts, to);
            }
        },
        plan);
#else
    (void)plan;
    (void)columnStarts;
    (void)to;
#endif
}

}  // namespace eddyrate
