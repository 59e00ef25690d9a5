// The kernel extension "qxmclsm": loaded by name, it makes comparison
// instances whose factory operations run the engine (engine.h). The kernel
// is the bottom layer and knows nothing of the engine: the engine registers
// its loader with the kernel at start-up (korv_mcomp_register_engine).
#include "mcomp/qxmclsm.h"

#include <new>

#include "mcomp/engine.h"

namespace
{

using korv_mc::Engine;

// An instance: the record its callers see, first, then the engine and the
// callbacks' record.
struct Instance {
    QXMCLSM_INSTANCE pub{};
    QXMCLSM_EXTERNAL external{};
    Engine* engine = nullptr;
};

Engine* engineOf(QXMCLSM_INSTANCE* inst)
{
    return inst ? static_cast<Engine*>(inst->PrivatePtr) : nullptr;
}

// Runs an engine operation; running out of memory aborts the computation
// (the caller ends the step with 1012), and nothing else escapes.
template <class F> QXStatus guarded(QXMCLSM_INSTANCE* inst, F f)
{
    Engine* e = engineOf(inst);
    if (!e)
        return QXMCLSM_E_STATE;
    try {
        return f(*e);
    } catch (const std::bad_alloc&) {
        return QXMCLSM_ABORTED_EXIT;
    }
}

QXStatus valueGet(QXMCLSM_INSTANCE* inst, int item, void* dest, int)
{
    return guarded(inst, [&](Engine& e) { return e.value(item, dest); });
}

QXStatus destroyInstance(QXMCLSM_INSTANCE** inst)
{
    if (!inst || !*inst)
        return QX_E_INVALID;
    auto* in = reinterpret_cast<Instance*>(*inst);
    delete in->engine;
    delete in;
    *inst = nullptr;
    return QX_OK;
}

QXStatus deterministicOp(QXMCLSM_INSTANCE* inst)
{
    return guarded(inst, [&](Engine& e) { return e.deterministic(inst); });
}

QXStatus simulateOp(QXMCLSM_INSTANCE* inst)
{
    return guarded(inst, [&](Engine& e) { return e.simulate(inst); });
}

QXStatus assessOp(QXMCLSM_INSTANCE* inst)
{
    return guarded(inst, [](Engine& e) { return e.assess(); });
}

// The lines display belongs to the module (zmclsml); the instance has none.
QXStatus linesOp(QXMCLSM_INSTANCE*)
{
    return QX_E_UNSUPPORTED;
}

QXMCLSM_FACTORY g_factory = {valueGet,   destroyInstance, deterministicOp,
                             simulateOp, assessOp,        linesOp};

QXMCLSM_INSTANCE* createInstance(QXMCLSM_EXTENSION*, QXMCLSM_PARMS* parms, int)
{
    if (!parms)
        return nullptr;
    Instance* in = new (std::nothrow) Instance;
    if (!in)
        return nullptr;
    try {
        in->engine =
            new Engine(Exported_QXHandle ? Exported_QXHandle : vyr_kernel_handle(), *parms);
    } catch (const std::bad_alloc&) {
        delete in;
        return nullptr;
    }
    in->pub.jnlh = in->engine->journal();
    in->pub.PrivatePtr = in->engine;
    in->pub.ExternalPtr = &in->external;
    in->pub.FactoryPtr = &g_factory;
    return &in->pub;
}

QXStatus destroyExtension(void* self)
{
    delete static_cast<QXMCLSM_EXTENSION*>(self);
    return QX_OK;
}

void* loadExtension(QXHandle*)
{
    auto* ext = new (std::nothrow) QXMCLSM_EXTENSION{};
    if (!ext)
        return nullptr;
    ext->hdr.tag = 0x716D636C; // "qmcl"
    ext->hdr.destroy = destroyExtension;
    ext->CreateInstance = createInstance;
    return ext;
}

} // namespace

void korv_mcomp_register_engine()
{
    vyr_kernel_register_extension("qxmclsm", loadExtension);
}
