#pragma once
// Captures every message box raised while it lives, in order, instead of showing it.
#include "platform/Cmsgbox.h"

#include <mutex>
#include <vector>

class Boxes : public Cboxsink {
public:
    Boxes() { m_prev = setboxsink(this); }
    ~Boxes() override { setboxsink(m_prev); }
    Boxes(const Boxes&) = delete;
    Boxes& operator=(const Boxes&) = delete;

    void show(const Cbox& box) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_boxes.push_back(box);
    }
    // Questions are captured like boxes and answered with the scripted answer (Cancel unless
    // replace(true) was called).
    bool askreplace(const Cbox& box) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_boxes.push_back(box);
        ++m_asked;
        return m_replace;
    }
    void replace(bool yes) { m_replace = yes; }
    int asked() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_asked;
    }
    std::vector<Cbox> all() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_boxes;
    }
    size_t count() const { return all().size(); }
    bool empty() const { return count() == 0; }
    Cbox last() const
    {
        auto b = all();
        return b.empty() ? Cbox{} : b.back();
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> t;
        for (const Cbox& b : all()) t.push_back(b.text);
        return t;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_boxes.clear();
    }

private:
    mutable std::mutex m_lock;
    std::vector<Cbox> m_boxes;
    bool m_replace = false;
    int m_asked = 0;
    Cboxsink* m_prev = nullptr;
};
