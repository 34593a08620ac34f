#include "engine/ByteTrie.h"

#include <cstring>
#include <new>
#include <vector>

CByteTrie::Node::Node() : value(-1)
{
    memset(children, 0, sizeof(children));
}

CByteTrie::CByteTrie() : m_pRoot(new (std::nothrow) Node())
{
}

CByteTrie::~CByteTrie()
{
    FreeNode(m_pRoot);
    m_pRoot = nullptr;
}

void CByteTrie::FreeNode(Node* node)
{
    // Iterative, so a long signature chain never deepens the stack.
    if (!node)
        return;
    std::vector<Node*> pending;
    pending.push_back(node);
    while (!pending.empty())
    {
        Node* n = pending.back();
        pending.pop_back();
        for (int i = 0; i < 256; ++i)
            if (n->children[i])
                pending.push_back(n->children[i]);
        delete n;
    }
}

int CByteTrie::Insert(const unsigned char* bytes, unsigned int length, int value)
{
    if (!m_pRoot || !bytes || length == 0 || length >= MAX_DEPTH)
        return 0;
    Node* node = m_pRoot;
    for (unsigned int i = 0; i + 1 < length; ++i)
    {
        Node*& child = node->children[bytes[i]];
        if (!child)
        {
            child = new (std::nothrow) Node();
            if (!child)
                return 0;
        }
        node = child;
    }
    Node*& last = node->children[bytes[length - 1]];
    if (!last)
    {
        last = new (std::nothrow) Node();
        if (!last)
            return 0;
    }
    else if (last->value != -1)
    {
        return last->value == value ? 1 : 0;
    }
    last->value = value;
    return 1;
}

int CByteTrie::LongestMatch(const unsigned char* data) const
{
    if (!m_pRoot || !data)
        return -1;
    // The deepest node on the path that ends a signature: data that follows a
    // longer signature part of the way and then differs still matches a
    // shorter signature it passed in full.
    const Node* node = m_pRoot;
    int found = node->value;
    for (int depth = 0; depth < MAX_DEPTH - 1; ++depth)
    {
        const Node* child = node->children[data[depth]];
        if (!child)
            break;
        node = child;
        if (node->value != -1)
            found = node->value;
    }
    return found;
}
