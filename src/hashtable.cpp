// The category hashmap: 257 fixed buckets of entries keyed by the key's Python hash alone.
#include "_tolq.h"

#include <cstdlib>

static inline unsigned bucket_of(unsigned long hash)
{
    return (unsigned)(hash % CATEGORY_BUCKETS);
}

static category_entry *category_hashmap_new(category_hashmap *map, PyObject *key,
                                            unsigned long hash)
{
    category_entry *entry = (category_entry *)malloc(sizeof(category_entry));
    if (entry == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    unsigned b = bucket_of(hash);
    Py_INCREF(key);
    entry->key = key;
    entry->py_keyhash = hash;
    entry->weight = 0.0;
    entry->nxt = map->entries[b];
    map->entries[b] = entry;
    return entry;
}

category_entry *category_hashmap_get(category_hashmap *map, PyObject *key)
{
    Py_hash_t h = PyObject_Hash(key);
    if (h == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    unsigned long hash = (unsigned long)h;
    for (category_entry *e = map->entries[bucket_of(hash)]; e != nullptr; e = e->nxt) {
        if (e->py_keyhash == hash) {
            return e;
        }
    }
    return category_hashmap_new(map, key, hash);
}

int category_hashmap_clear(category_hashmap *map)
{
    for (unsigned b = 0; b < CATEGORY_BUCKETS; b++) {
        while (map->entries[b] != nullptr) {
            category_entry *e = map->entries[b];
            map->entries[b] = e->nxt;
            Py_DECREF(e->key);
            free(e);
        }
    }
    return 0;
}

category_entry *category_hashmap_iterate(category_hashmap *map, category_entry *curr)
{
    unsigned b = 0;
    if (curr != nullptr) {
        if (curr->nxt != nullptr) {
            return curr->nxt;
        }
        b = bucket_of(curr->py_keyhash) + 1;
    }
    for (; b < CATEGORY_BUCKETS; b++) {
        if (map->entries[b] != nullptr) {
            return map->entries[b];
        }
    }
    return nullptr;
}
