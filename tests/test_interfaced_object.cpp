// The per-object lock of the reference-counted base under the standard lock
// holders.

#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "runtime/interfaced_object.h"

namespace quillmark::runtime {
namespace {

class TLockable : public TInterfacedObject {
 public:
  const char* ClassName() const override { return "TLockable"; }

 protected:
  void* GetInterface(const GUID&) override { return nullptr; }
};

// Whether another thread can take the object's lock right now.
bool FreeForAnotherThread(TLockable& object) {
  return std::async(std::launch::async, [&object] {
           if (!object.try_lock()) return false;
           object.unlock();
           return true;
         }).get();
}

TEST(InterfacedObjectLock, HeldByLockHoldersForTheirScope) {
  TLockable a, b;
  {
    std::lock_guard<TLockable> guard(a);
    EXPECT_FALSE(FreeForAnotherThread(a));
    EXPECT_TRUE(FreeForAnotherThread(b));
    // Recursive: the holder's own calls may take it again.
    std::scoped_lock again(a);
    EXPECT_FALSE(FreeForAnotherThread(a));
  }
  EXPECT_TRUE(FreeForAnotherThread(a));
  {
    std::scoped_lock both(a, b);
    EXPECT_FALSE(FreeForAnotherThread(a));
    EXPECT_FALSE(FreeForAnotherThread(b));
  }
  EXPECT_TRUE(FreeForAnotherThread(a));
  EXPECT_TRUE(FreeForAnotherThread(b));
  // The named methods and the standard ones are the one lock.
  a.Lock();
  EXPECT_FALSE(FreeForAnotherThread(a));
  a.unlock();
  EXPECT_TRUE(FreeForAnotherThread(a));
}

}  // namespace
}  // namespace quillmark::runtime
