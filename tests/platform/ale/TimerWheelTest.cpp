// The timer wheel against a plain list of deadlines, over random sets, moves, unsets and
// steps of time from microseconds to several turns: what expire() gives and when next()
// says to wake.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>

#include "platform/ale/TimerWheel.h"

namespace {

using SoftAle::TimerWheel;

std::int64_t tickOf(double t) { return std::int64_t(std::floor(t / TimerWheel::kSlotSeconds)); }

TEST(TimerWheel, AgreesWithAListOfDeadlines) {
  std::mt19937_64 random(7);
  const auto uniform = [&](double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); };
  double now = 1000.0;
  TimerWheel wheel(now);
  std::map<std::uint32_t, double> model;
  // Steps of time: within a slot, a CCM interval, past a turn (0.41 s), far past.
  const double steps[] = {10e-6, 3.3e-3, 0.5, 3.0};
  for (int round = 0; round < 20000; ++round) {
    const std::uint32_t id = std::uint32_t(random() % 200);
    switch (random() % 4) {
      case 0:
        wheel.unset(id);
        model.erase(id);
        break;
      case 1: {
        // Overdue, soon, a turn or more away.
        const double deadline = now + uniform(-0.01, 0.02) + (random() % 8 == 0 ? uniform(0.4, 2.0) : 0);
        wheel.set(id, deadline);
        model[id] = deadline;
        break;
      }
      default: {
        double earliest = INFINITY;
        for (const auto& [timer, deadline] : model) earliest = std::min(earliest, deadline);
        // No wake later than the earliest deadline; the earliest itself within a turn.
        const double next = wheel.next();
        EXPECT_LE(next, earliest) << round;
        if (tickOf(earliest) < tickOf(now) + std::int64_t(TimerWheel::kSlots)) {
          EXPECT_EQ(next, earliest) << round;
        }
        // To the wake it asked for, or a step of time.
        const double step = now + steps[random() % 4] * uniform(0, 1);
        now = std::max(now, round % 3 && next < INFINITY ? next : step);
        std::vector<std::uint32_t> expected;
        for (auto it = model.begin(); it != model.end();) {
          if (tickOf(it->second) <= tickOf(now)) {
            expected.push_back(it->first);
            it = model.erase(it);
          } else {
            ++it;
          }
        }
        auto due = wheel.expire(now);
        std::sort(due.begin(), due.end());
        ASSERT_EQ(due, expected) << round;
        for (const auto& [timer, deadline] : model) EXPECT_EQ(wheel.deadline(timer), deadline);
      }
    }
  }
}

}  // namespace
