#include "property/store/observer.h"

Observer::~Observer() = default;
