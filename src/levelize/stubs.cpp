// The effect part of the levelization library is not built yet: effect level
// lists, design rows and crossproducts, parameter names and labels, the
// threaded effect-level pass, constructed effect variables and the fit
// operations. The reader refuses a model with effects or constructed effect
// variables by name (message 326/3850) while korv_built_effects is false,
// so these routines only ever see a model of classification variables: for
// it there are no effects to list, name or fit, and each stub does what the
// real routine does then, which is nothing.
#include "levelize/zlevint.h"

const bool korv_built_effects = false;

int zlevefti(ZLEVREGI* r)
{
    return r->m->eft.n == 0 ? 0 : ZLEV_RC_EFFECTS;
}

int ThreadInit(ZLEVREGI*)
{
    return 0;
}

void CleanupEThreads(ZLEVREGI*) {}

int zlevEffectPassThreaded(ZLEVREGI*, double*, double*, double*)
{
    return 0;
}

void zlevEftVarParmLevName(ZLEVREGI*, ZLEVEFTVAR*) {}

int zlevLevelsAll(ZLEVREGI*, int, int*)
{
    return 0;
}

int ParmName(ZLEVREGI*)
{
    return 0;
}

void zlevEfParmLabel(ZLEVMOD*, POOLHANDLE*, int, int) {}

int UniqDups(ZLEVREGI*)
{
    return 0;
}

void zlevflr(ZLEVVAR*, double* x, int, int n, double)
{
    for (int k = 0; k < n; ++k)
        x[k] = 0;
}

void zlevSplineCols(ZLEVREGI*, ZLEVEFTVAR*) {}

void zlevPolyCols(ZLEVREGI*, ZLEVEFTVAR*) {}

double* GetXpX(ZLEVREGI*)
{
    return nullptr;
}

double* GetR(ZLEVREGI*)
{
    return nullptr;
}

double* GetBeta(ZLEVREGI*)
{
    return nullptr;
}

double* GetSSE(ZLEVREGI*)
{
    return nullptr;
}

double* GetSST(ZLEVREGI*)
{
    return nullptr;
}

void* Test(ZLEVREGI*, ZLEVL*, int, const char*)
{
    return nullptr;
}
