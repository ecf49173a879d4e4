/* Stand-ins for the archive library, built in several variants to exercise the loader's checks:
 *   FAKE_CREATE_OBJECT      export CreateObject, returning FAKE_CREATE_RESULT
 *   FAKE_HANDLER_PROPERTY   export GetHandlerProperty
 *   FAKE_MODULE_PROP        export GetModuleProp, reporting FAKE_LAYOUT (VT_UI4) or VT_EMPTY when
 *                           FAKE_LAYOUT_EMPTY is defined
 * CreateObject hands out one small object with a three-slot IUnknown vtable whose references can be
 * counted through FakeLiveReferences(). */
#include <stdint.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

typedef struct {
    uint16_t vt;
    uint16_t reserved[3];
    uint64_t value;
} FakeVariant;

typedef struct FakeObject FakeObject;
typedef struct {
    int32_t (*QueryInterface)(FakeObject* self, const void* iid, void** object);
    uint32_t (*AddRef)(FakeObject* self);
    uint32_t (*Release)(FakeObject* self);
} FakeVtable;
struct FakeObject {
    const FakeVtable* vtable;
};

static int gReferences = 0;
static unsigned char gLastClassId[16];
static unsigned char gLastInterfaceId[16];

EXPORT int FakeLiveReferences(void) {
    return gReferences;
}
EXPORT void FakeLastIds(unsigned char classId[16], unsigned char interfaceId[16]) {
    memcpy(classId, gLastClassId, 16);
    memcpy(interfaceId, gLastInterfaceId, 16);
}

#ifdef FAKE_CREATE_OBJECT
static int32_t fakeQueryInterface(FakeObject* self, const void* iid, void** object) {
    (void)self;
    (void)iid;
    *object = 0;
    return (int32_t)0x80004002u;
}
static uint32_t fakeAddRef(FakeObject* self) {
    (void)self;
    return (uint32_t)++gReferences;
}
static uint32_t fakeRelease(FakeObject* self) {
    (void)self;
    return (uint32_t)--gReferences;
}
static const FakeVtable kVtable = {fakeQueryInterface, fakeAddRef, fakeRelease};
static FakeObject gObject = {&kVtable};

EXPORT int32_t CreateObject(const void* classId, const void* interfaceId, void** object) {
    memcpy(gLastClassId, classId, 16);
    memcpy(gLastInterfaceId, interfaceId, 16);
    const int32_t result = (int32_t)(FAKE_CREATE_RESULT);
    if (result < 0) {
        *object = 0;
        return result;
    }
    ++gReferences;
    *object = &gObject;
    return result;
}
#endif

#ifdef FAKE_HANDLER_PROPERTY
EXPORT int32_t GetHandlerProperty(uint32_t propId, FakeVariant* value) {
    (void)propId;
    memset(value, 0, sizeof *value);
    return 0;
}
#endif

#ifdef FAKE_MODULE_PROP
EXPORT int32_t GetModuleProp(uint32_t propId, FakeVariant* value) {
    memset(value, 0, sizeof *value);
    if (propId == 0) {
#ifndef FAKE_LAYOUT_EMPTY
        value->vt = 19; /* VT_UI4 */
        value->value = (uint32_t)(FAKE_LAYOUT);
#endif
    }
    return 0;
}
#endif
