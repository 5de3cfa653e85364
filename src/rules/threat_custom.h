// Evidence records that rules attach to their results: a danger percent and
// a composed name such as "TThreatGrouped.Dangerous.Base".
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

#include "quillmark/base.h"

namespace quillmark {

class TThreat {
 public:
  virtual ~TThreat() = default;

  // Class name as the record's name shows it.
  virtual const char* ClassName() const { return "TThreat"; }
  virtual std::string GetGroupName() const { return {}; }
  // Default danger percent of the record's class; TThreat has none.
  virtual Extended GetDefaultDangerPercent() const;
  virtual std::string GetBaseName() const { return "Base"; }

  Extended DangerPercent() const { return FDangerPercent; }
  // Class name, ".", group name, "." (once), base name.
  std::string Name() const;

  // Builds a record of class T; a negative percent asks for T's default.
  template <class T>
  static std::unique_ptr<T> Create(Extended ADangerPercent) {
    std::unique_ptr<T> r(new T());
    r->Initialize(ADangerPercent);
    return r;
  }

 protected:
  TThreat() = default;
  // Second construction step, run once the dynamic type is complete so that
  // the class default can be asked for.
  virtual void Initialize(Extended ADangerPercent);

 private:
  Extended FDangerPercent = 0;
};

// Declared identifiers of an enumeration's values, which grouped records need
// for their group names. Specialise Identifier for each group enumeration.
template <class T>
struct TEnumIdentifiers;

template <class T>
class TThreatGroupedOf : public TThreat {
 public:
  T SubGroup() const { return FSubGroup; }

  // The group value's identifier without its lower-case prefix
  // ("tsgSuspicious" gives "Suspicious").
  std::string GetGroupName() const override {
    std::string_view id = TEnumIdentifiers<T>::Identifier(FSubGroup);
    if (FSkipChars < 0) {
      int n = 0;
      while (n < static_cast<int>(id.size()) && !(id[n] >= 'A' && id[n] <= 'Z')) ++n;
      FSkipChars = n;
    }
    if (FSkipChars > 0) id.remove_prefix(std::min<std::size_t>(static_cast<std::size_t>(FSkipChars), id.size()));
    return std::string(id);
  }

  template <class C>
  static std::unique_ptr<C> Create(T ASubGroup, Extended ADangerPercent) {
    std::unique_ptr<C> r(new C());
    r->InitializeGrouped(ASubGroup, ADangerPercent);
    return r;
  }

 protected:
  virtual void InitializeGrouped(T ASubGroup, Extended ADangerPercent) {
    FSubGroup = ASubGroup;
    FSkipChars = -1;
    Initialize(ADangerPercent);
  }

 private:
  T FSubGroup{};
  mutable int FSkipChars = -1;
};

enum class TThreatSubGroup : std::uint8_t { tsgNormal = 0, tsgSuspicious = 1, tsgDangerous = 2, tsgCrytical = 3 };

template <>
struct TEnumIdentifiers<TThreatSubGroup> {
  static std::string_view Identifier(TThreatSubGroup v);
};

class TThreatGrouped : public TThreatGroupedOf<TThreatSubGroup> {
 public:
  const char* ClassName() const override { return "TThreatGrouped"; }
};

}  // namespace quillmark
