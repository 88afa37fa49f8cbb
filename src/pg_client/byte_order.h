/*
 * Network byte order, as the protocol's lengths and codes travel: the one
 * place that reads and writes them.
 */
#ifndef PGDUMP_BYTE_ORDER_H
#define PGDUMP_BYTE_ORDER_H

#include <cstdint>

static inline uint32_t pg_get_u32(const unsigned char *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

static inline uint32_t pg_get_u16(const unsigned char *p)
{
    return ((uint32_t)p[0] << 8) | p[1];
}

static inline void pg_put_u32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

#endif
