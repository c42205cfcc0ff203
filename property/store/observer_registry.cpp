#include "property/store/observer_registry.h"

#include <algorithm>

#include "platform/log/zu_log.h"

namespace {

template <typename List, typename Item>
bool Contains(const List& list, const Item& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

ObserverRegistry::ObserverRegistry(std::map<int32_t, std::list<Observer*>>& observers) : mObservers(observers) {}

bool ObserverRegistry::Add(int32_t wd, const std::string& path, Observer* observer, bool untilIdle) {
  // insert, not operator[]: that one leaves a GNU unique symbol in
  // unoptimised builds, which keeps the library from ever being unloaded.
  std::list<Observer*>& observers = mObservers.insert({wd, {}}).first->second;
  const auto made = std::find(mUntilIdle.begin(), mUntilIdle.end(), Registration(path, observer));
  const bool mayGo = made != mUntilIdle.end();
  if (!Contains(observers, observer)) {
    observers.push_back(observer);
    ForgetRelease(path, observer);
  } else if (mayGo == untilIdle) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "This Observer is repeat");
    return false;
  }
  if (mayGo && !untilIdle) mUntilIdle.erase(made);
  if (mayGo || !untilIdle) return false;
  mUntilIdle.emplace_back(path, observer);
  return true;
}

bool ObserverRegistry::Remove(int32_t wd, const std::string& path, Observer* observer, bool& lastOne) {
  lastOne = false;
  auto observers = mObservers.find(wd);
  if (observers == mObservers.end()) return false;
  std::list<Observer*>& list = observers->second;
  auto it = std::find(list.begin(), list.end(), observer);
  if (it == list.end()) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "This remove Observer is null");
    return false;
  }
  list.erase(it);
  const auto made = std::find(mUntilIdle.begin(), mUntilIdle.end(), Registration(path, observer));
  if (made != mUntilIdle.end()) mUntilIdle.erase(made);
  lastOne = list.empty();
  if (lastOne) mObservers.erase(observers);
  return true;
}

bool ObserverRegistry::Has(int32_t wd, Observer* observer) const {
  const auto it = mObservers.find(wd);
  return it != mObservers.end() && Contains(it->second, observer);
}

std::list<Observer*> ObserverRegistry::ObserversOf(int32_t wd) const {
  const auto it = mObservers.find(wd);
  return it == mObservers.end() ? std::list<Observer*>() : it->second;
}

std::vector<int32_t> ObserverRegistry::Keys() const {
  std::vector<int32_t> keys;
  for (const auto& observers : mObservers) keys.push_back(observers.first);
  return keys;
}

void ObserverRegistry::Move(int32_t from, int32_t to) {
  auto old = mObservers.find(from);
  if (old == mObservers.end()) return;
  std::list<Observer*>& target = mObservers.insert({to, {}}).first->second;
  for (Observer* observer : old->second) {
    if (!Contains(target, observer)) target.push_back(observer);
  }
  mObservers.erase(old);
}

bool ObserverRegistry::AllReleasable() const {
  size_t registrations = 0;
  for (const auto& observers : mObservers) registrations += observers.second.size();
  return registrations > 0 && mUntilIdle.size() >= registrations;
}

std::vector<ObserverRegistry::Registration> ObserverRegistry::ReleaseAll() {
  std::vector<Registration> told;
  told.swap(mUntilIdle);
  mReleased.insert(mReleased.end(), told.begin(), told.end());
  mObservers.clear();
  return told;
}

bool ObserverRegistry::ForgetRelease(const std::string& path, Observer* observer) {
  const auto it = std::find(mReleased.begin(), mReleased.end(), Registration(path, observer));
  if (it == mReleased.end()) return false;
  mReleased.erase(it);
  return true;
}
