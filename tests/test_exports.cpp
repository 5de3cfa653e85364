// The shared library as a host loads it: dlopen, the three entry points,
// and the engine obtained by GUID.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "quillmark/quillmark.h"
#include "support/engine_fixture.h"
#include "support/programs.h"

using namespace quillmark;

namespace {

struct TLoadedLibrary {
  void* Handle = dlopen(QUILLMARK_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ~TLoadedLibrary() {
    if (Handle) dlclose(Handle);
  }
  template <class F>
  F Entry(const char* name) {
    return reinterpret_cast<F>(dlsym(Handle, name));
  }
};

TEST(Exports, HostObtainsTheEngineByGuidAndAnalyses) {
  TLoadedLibrary lib;
  ASSERT_NE(lib.Handle, nullptr) << dlerror();
  auto getInstance = lib.Entry<TDllGetInstance>("DllGetInstance");
  auto canUnload = lib.Entry<TDllCanUnloadNow>("DllCanUnloadNow");
  auto getVersion = lib.Entry<TDllGetVersion>("DllGetVersion");
  ASSERT_TRUE(getInstance && canUnload && getVersion);

  EXPECT_EQ(canUnload(), S_OK);
  {
    void* raw = nullptr;
    ASSERT_EQ(getInstance(IMalwareHeuristic::IID, &raw), S_OK);
    auto engine = ComPtr<IMalwareHeuristic>::Attach(static_cast<IMalwareHeuristic*>(raw));
    EXPECT_EQ(canUnload(), S_FALSE) << "a live engine keeps the library loaded";

    // the engine answers for its own interfaces and the base, not for the
    // objects it hands out
    EXPECT_TRUE(engine.As<IUnknown>());
    EXPECT_TRUE(engine.As<IMalwareHeuristicStatus>());
    EXPECT_TRUE(engine.As<IMalwareHeuristicReport>());
    EXPECT_FALSE(engine.As<ILinkObjectInterface>());
    EXPECT_FALSE(engine.As<IMalwareHeuristicSettings>());
    EXPECT_FALSE(engine.As<IMalwareHeuristicResult>());
    // settings and result answer for the link interface, which leads to themselves
    ComPtr<IMalwareHeuristicSettings> settings = engine->GetSettings();
    auto settingsLink = settings.As<ILinkObjectInterface>();
    ASSERT_TRUE(settingsLink);
    ComPtr<IMalwareHeuristicResult> result = engine->GetResult();
    ASSERT_TRUE(result.As<ILinkObjectInterface>());
    EXPECT_EQ(result.As<ILinkObjectInterface>()->GetObject(), result.As<ILinkObjectInterface>()->GetObject());

    // an analysis through the boundary: a non-PE file is refused, a missing one too
    test::TEngineFiles files;
    EXPECT_FALSE(engine->AnalyzeFile(files.TextFile()));
    EXPECT_FALSE(engine->AnalyzeFile(files.Missing()));
    EXPECT_EQ(result->GetPercentageMatch(), 0.0L);
    EXPECT_EQ(result->GetMalwareID(), 8000001);
    const char block[4] = {1, 2, 3, 4};
    EXPECT_FALSE(engine->AnalyzeMemory(block, 0));
  }
  EXPECT_EQ(canUnload(), S_OK) << "released objects let the library go";

  void* none = nullptr;
  EXPECT_NE(getInstance(IMalwareHeuristicResult::IID, &none), S_OK);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(getInstance(IMalwareHeuristic::IID, nullptr), E_POINTER);
  EXPECT_EQ(canUnload(), S_OK);

  DLLVERSIONINFO2 v{};
  v.info1.cbSize = sizeof v;
  ASSERT_EQ(getVersion(&v), S_OK);
  EXPECT_EQ(v.ullVersion >> 48, v.info1.dwMajorVersion);
  EXPECT_EQ((v.ullVersion >> 32) & 0xFFFF, v.info1.dwMinorVersion);
  DLLVERSIONINFO2 bad{};
  bad.info1.cbSize = 3;
  EXPECT_EQ(getVersion(&bad), E_INVALIDARG);
  EXPECT_EQ(getVersion(nullptr), E_POINTER);
}

}  // namespace

// Every function the public headers declare is exported: a host that links
// the shared library alone builds and runs.
TEST(Exports, PublicHeaderFunctionsAreExported) {
  auto run = test::RunProgramCapture({QUILLMARK_SHARED_HOST_PATH});
  EXPECT_EQ(run.Status, 0) << run.Output;
  EXPECT_EQ(run.Output, std::string("{4C742238-55E0-4CA8-BA2D-843ABA7FAF25} ") + QuillmarkVersion() + "\n");
}
