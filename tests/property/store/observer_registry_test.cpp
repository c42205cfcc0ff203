#include "property/store/observer_registry.h"

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <string>
#include <vector>

namespace {

struct Quiet : Observer {
  void UpdateInotify() override {}
};

// Each step registers (kind 'g' for good, 'i' until idle), removes ('r') or
// moves watch 1 to watch 2 ('m'); after the steps, the registry must tell
// what the watcher relies on.
TEST(ObserverRegistryTest, RegistrationsKeepOrderKindAndRelease) {
  Quiet a, b;
  struct Step {
    char what;
    Observer* observer;
    int32_t wd;
    bool wakes;  // Add: the idle time starts counting
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::list<Observer*> onTwo;  // observers of watch 2 afterwards
    bool releasable;
  };
  const Case cases[] = {
      {"until idle wakes once", {{'i', &a, 2, true}, {'i', &a, 2, false}}, {&a}, true},
      {"for good is never released", {{'g', &a, 2, false}, {'i', &b, 2, true}}, {&a, &b}, false},
      {"registered again takes the last kind", {{'i', &a, 2, true}, {'g', &a, 2, false}}, {&a}, false},
      {"back to until idle", {{'g', &a, 2, false}, {'i', &a, 2, true}}, {&a}, true},
      {"removal ends the kind", {{'i', &a, 2, true}, {'r', &a, 2, false}, {'g', &b, 2, false}}, {&b}, false},
      {"a move keeps order and joins once",
       {{'g', &b, 2, false}, {'g', &a, 1, false}, {'g', &b, 1, false}, {'m', nullptr, 0, false}}, {&b, &a}, false},
      {"nothing registered", {}, {}, false},
  };
  for (const Case& c : cases) {
    std::map<int32_t, std::list<Observer*>> map;
    ObserverRegistry registry(map);
    for (const Step& step : c.steps) {
      bool last = false;
      if (step.what == 'g' || step.what == 'i') {
        EXPECT_EQ(registry.Add(step.wd, "/p", step.observer, step.what == 'i'), step.wakes) << c.name;
      } else if (step.what == 'r') {
        EXPECT_TRUE(registry.Remove(step.wd, "/p", step.observer, last)) << c.name;
      } else {
        registry.Move(1, 2);
      }
    }
    EXPECT_EQ(registry.ObserversOf(2), c.onTwo) << c.name;
    EXPECT_EQ(registry.AllReleasable(), c.releasable) << c.name;
    if (!c.releasable) continue;
    const std::vector<ObserverRegistry::Registration> told = registry.ReleaseAll();
    EXPECT_EQ(told.size(), c.onTwo.size()) << c.name;
    EXPECT_TRUE(registry.Keys().empty()) << c.name;
    EXPECT_TRUE(registry.ForgetRelease("/p", told.front().second)) << c.name;
    EXPECT_FALSE(registry.ForgetRelease("/p", told.front().second)) << c.name;
  }
}

}  // namespace
