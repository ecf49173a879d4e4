#include "GostRuntime.h"

#include "OpenSsl.h"
#include "platform/SystemErrors.h"

#include <openssl/crypto.h>
#include <openssl/engine.h>

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace plombar::crypto {

namespace {

struct RuntimeState {
    std::once_flag once;
    std::mutex mutex;
    ENGINE* engine = nullptr; // our functional reference, released once
    bool ready = false;
    bool engineFound = false;
    std::string detail; // OpenSSL's reason, for the error text
};

RuntimeState& state() {
    // Never destroyed: OpenSSL's exit handler below may run after static destructors.
    static auto* s = new RuntimeState;
    return *s;
}

void releaseEngine() {
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.engine != nullptr) {
        ENGINE_finish(s.engine);
        s.engine = nullptr;
    }
}

// OpenSSL's allocator, wiping on release. malloc_usable_size covers the whole block, slack included.
void* wipingMalloc(std::size_t size, const char*, int) {
    return size == 0 ? nullptr : std::malloc(size); // as OpenSSL's own: nothing for zero bytes
}

void wipingFree(void* block, const char*, int) {
    if (block == nullptr)
        return;
    OPENSSL_cleanse(block, ::malloc_usable_size(block));
    std::free(block);
}

// Never realloc(): it may move the block and leave the old copy behind unwiped.
void* wipingRealloc(void* block, std::size_t size, const char* file, int line) {
    if (block == nullptr)
        return wipingMalloc(size, file, line);
    if (size == 0) {
        wipingFree(block, file, line);
        return nullptr;
    }
    const std::size_t held = ::malloc_usable_size(block);
    if (size <= held)
        return block;
    void* moved = std::malloc(size);
    if (moved == nullptr)
        return nullptr; // the old block stays valid, as realloc() leaves it
    std::memcpy(moved, block, std::min(held, size));
    wipingFree(block, file, line);
    return moved;
}

struct WipeState {
    std::once_flag once;
    bool installed = false;
};

WipeState& wipeState() {
    static auto* s = new WipeState;
    return *s;
}

void load() {
    RuntimeState& s = state();
    WipeOpenSslMemoryOnFree();
    // These variables override the engine's settings (parameter sets, PBE MAC, key format); a stray
    // value in the user's environment would silently change what we write.
    ::unsetenv("CRYPT_PARAMS");
    ::unsetenv("GOST_PBE_HMAC");
    ::unsetenv("GOST_PK_FORMAT");
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    // Our reference goes before OpenSSL tears the engine list down at exit.
    OPENSSL_atexit(releaseEngine);

    ENGINE* engine = ENGINE_by_id("gost");
    if (engine == nullptr) {
        s.detail = TakeOpenSslErrors();
        return;
    }
    s.engineFound = true;
    if (ENGINE_init(engine) != 1) {
        s.detail = TakeOpenSslErrors();
        ENGINE_free(engine);
        return;
    }
    ENGINE_free(engine); // the functional reference from ENGINE_init keeps it loaded
    // Without ENGINE_set_default, GOST keys and GOST certificates' public keys cannot be used at all.
    if (ENGINE_set_default(engine, ENGINE_METHOD_ALL) != 1 ||
        EVP_get_digestbyname("md_gost12_256") == nullptr) {
        s.detail = TakeOpenSslErrors();
        ENGINE_finish(engine);
        return;
    }
    std::lock_guard lock(s.mutex);
    s.engine = engine;
    s.ready = true;
    ClearOpenSslErrors();
}

void start() {
    std::call_once(state().once, load);
}

} // namespace

GostRuntime::GostRuntime() {
    start();
}

GostRuntime::~GostRuntime() {
    releaseEngine();
}

bool GostRuntime::Ready() const {
    return GostRuntimeReady();
}

std::string GostRuntime::ErrorText() const {
    return GostRuntimeErrorText();
}

bool WipeOpenSslMemoryOnFree() {
    WipeState& s = wipeState();
    std::call_once(s.once, [&s] {
        s.installed = CRYPTO_set_mem_functions(wipingMalloc, wipingRealloc, wipingFree) == 1;
    });
    if (s.installed)
        return true;
    // Someone may have installed them before us (a second call after a failed one cannot succeed).
    CRYPTO_malloc_fn m = nullptr;
    CRYPTO_realloc_fn r = nullptr;
    CRYPTO_free_fn f = nullptr;
    CRYPTO_get_mem_functions(&m, &r, &f);
    return f == wipingFree;
}

bool GostRuntimeReady() {
    start();
    return state().ready;
}

GostRuntimeStatus QueryGostRuntime() {
    start();
    const RuntimeState& s = state();
    return {s.ready, s.engineFound, s.ready ? std::string() : s.detail};
}

std::string GostRuntimeErrorText() {
    start();
    const RuntimeState& s = state();
    if (s.ready)
        return {};
    const bool russian = currentMessageLanguage() == MessageLanguage::Russian;
    std::string text;
    if (!s.engineFound)
        text = russian
                   ? "Не найден модуль ГОСТ для OpenSSL (libengine-gost-openssl). Подпись, проверка, "
                     "шифрование и расшифровка по ГОСТ недоступны: установите пакет libengine-gost-openssl"
                   : "The GOST module for OpenSSL was not found (libengine-gost-openssl). GOST signing, "
                     "verification, encryption and decryption are unavailable: install the package "
                     "libengine-gost-openssl";
    else
        text = russian ? "Модуль ГОСТ для OpenSSL (libengine-gost-openssl) не удалось загрузить"
                       : "The GOST module for OpenSSL (libengine-gost-openssl) could not be loaded";
    if (!s.detail.empty())
        text += " (" + s.detail + ")";
    return text;
}

} // namespace plombar::crypto
